// One Apache httpd request: the request's texts and server variables from
// request_rec, the body past its first part from httpd's input filters, the
// extension's writes and header text onto httpd's output filters. The
// control block and its callbacks are the shared extension request's.
#include "hosts/apache/apache_request.h"

#include <algorithm>
#include <optional>
#include <string_view>

#include "apr_buckets.h"
#include "apr_strings.h"
#include "hosts/apache/apache_log.h"
#include "http_core.h"
#include "http_protocol.h"
#include "http_request.h"
#include "http_ssl.h"
#include "text/ascii.h"

namespace hosts::apache {

namespace {

// Body bytes held back before the response starts: an answer that ends
// within them goes out with its true length, whatever its headers said; a
// longer one streams, framed by the extension's Content-Length.
constexpr std::size_t kHoldBack = 64 * 1024;
// ap_rwrite takes an int count: larger writes go in pieces of this size.
constexpr std::size_t kLargestWrite = std::size_t{1} << 30;

// A decimal length of at most 18 digits (no sign, no blank), which
// apr_off_t always holds, or nothing.
std::optional<apr_off_t> ParseLength(std::string_view digits) {
  const std::optional<std::uint64_t> length = text::ParsePlainDecimal(digits, 18);
  if (!length) return std::nullopt;
  return static_cast<apr_off_t>(*length);
}

// The reason phrase after the code, when every byte of it may go on the
// wire: visible characters, blanks and ISO-8859-1 letters, no control byte.
std::optional<std::string_view> ReasonPhrase(std::string_view status_line) {
  std::string_view reason = status_line.size() > 4 ? status_line.substr(4) : std::string_view();
  for (char c : reason) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte != '\t' && (byte < 0x20 || byte == 0x7F)) return std::nullopt;
  }
  return reason;
}

int CollectHeader(void* variables, const char* name, const char* value) {
  static_cast<ServerVariables*>(variables)->AddRequestHeader(name, value != nullptr ? value : "");
  return 1;  // go on
}

}  // namespace

ApacheRequest::ApacheRequest(request_rec* r, std::string script_name)
    : r_(r), script_name_(std::move(script_name)) {
  brigade_ = apr_brigade_create(r->pool, r->connection->bucket_alloc);
}

ApacheRequest::~ApacheRequest() {
  extension_.reset();
  apr_brigade_destroy(brigade_);
}

int ApacheRequest::Prepare() {
  std::string body;
  DWORD total = 0;
  if (const int status = ReadBodyStart(&body, &total); status != OK) return status;
  extension_.emplace(Input(std::move(body), total), kAvailableLimit);
  extension_->SetWriter(this);
  return OK;
}

int ApacheRequest::ReadBodyStart(std::string* body, DWORD* total) {
  // Chunked bodies are de-chunked by httpd; LimitRequestBody is enforced by
  // its input filter, which reports a longer body as APR_ENOSPC (413).
  if (const int status = ap_setup_client_block(r_, REQUEST_CHUNKED_DECHUNK); status != OK) {
    return status;
  }
  if (!ap_should_client_block(r_)) {
    body_ended_ = true;
    return OK;
  }
  if (r_->read_chunked) {
    // The extension needs the body's length up front: a chunked body is
    // read whole (bounded by LimitRequestBody) before it is called.
    if (const apr_status_t rv = FillBody(body, HSE_BODY_LENGTH_UNKNOWN); rv != APR_SUCCESS) {
      return ap_map_http_request_error(rv, HTTP_BAD_REQUEST);
    }
    if (!body_ended_) return HTTP_REQUEST_ENTITY_TOO_LARGE;
    *total = static_cast<DWORD>(body->size());
    return OK;
  }
  if (r_->remaining >= static_cast<apr_off_t>(HSE_BODY_LENGTH_UNKNOWN)) {
    return HTTP_REQUEST_ENTITY_TOO_LARGE;
  }
  *total = static_cast<DWORD>(r_->remaining);
  if (const apr_status_t rv = FillBody(body, std::min<std::size_t>(*total, kAvailableLimit));
      rv != APR_SUCCESS) {
    return ap_map_http_request_error(rv, HTTP_BAD_REQUEST);
  }
  return OK;
}

// The names and meanings the embedded host serves, from httpd's view of the
// request: the client address as mod_remoteip leaves it, the port the
// request arrived on, the server name as httpd resolves it.
RequestInput ApacheRequest::Input(std::string body, DWORD total) {
  RequestInput input;
  input.method = r_->method != nullptr ? r_->method : "";
  input.query = r_->args != nullptr ? r_->args : "";
  input.path_info = r_->uri != nullptr ? r_->uri : "";
  if (const char* type = apr_table_get(r_->headers_in, "Content-Type")) input.content_type = type;
  input.body = std::move(body);
  input.total_bytes = total;
  // ReadClient reads on from httpd once the first part is handed out.
  input.more_body = body_ended_ ? nullptr : this;

  conn_rec* connection = r_->connection;
  const apr_sockaddr_t* client_address =
      r_->useragent_addr != nullptr ? r_->useragent_addr : connection->client_addr;
  const apr_port_t local_port =
      connection->local_addr != nullptr ? connection->local_addr->port : 0;
  const std::string remote_port =
      client_address != nullptr ? std::to_string(client_address->port) : "";
  const std::string server_port = std::to_string(local_port);
  RequestFacts facts;
  facts.remote_addr = r_->useragent_ip != nullptr ? r_->useragent_ip : "";
  facts.remote_port = remote_port;
  facts.local_addr = connection->local_ip != nullptr ? connection->local_ip : "";
  facts.server_name = ap_get_server_name(r_);
  facts.server_port = server_port;
  facts.tls = ap_ssl_conn_is_ssl(connection) != 0;
  facts.protocol = r_->protocol != nullptr ? r_->protocol : "";
  facts.software = ap_get_server_banner();
  facts.method = input.method;
  facts.script_name = script_name_;
  facts.path = input.path_info;
  facts.query = input.query;
  facts.content_type = input.content_type;
  input.variables.SetRequestVariables(facts);
  apr_table_do(&CollectHeader, &input.variables, r_->headers_in, nullptr);
  input.variables.Set("CONTENT_LENGTH", std::to_string(total));
  return input;
}

// ---------------------------------------------------------------- body

apr_status_t ApacheRequest::ReadBody(char* buffer, std::size_t capacity, std::size_t* count) {
  *count = 0;
  // The brigade API keeps httpd's status (413 from LimitRequestBody, 400
  // for a broken chunk), which ap_get_client_block would reduce to -1.
  while (!body_ended_ && *count == 0 && capacity != 0) {
    apr_brigade_cleanup(brigade_);
    const apr_status_t rv = ap_get_brigade(r_->input_filters, brigade_, AP_MODE_READBYTES,
                                           APR_BLOCK_READ, static_cast<apr_off_t>(capacity));
    if (rv != APR_SUCCESS) return rv;
    for (apr_bucket* bucket = APR_BRIGADE_FIRST(brigade_); bucket != APR_BRIGADE_SENTINEL(brigade_);
         bucket = APR_BUCKET_NEXT(bucket)) {
      if (APR_BUCKET_IS_EOS(bucket)) body_ended_ = true;
    }
    apr_size_t length = capacity;
    if (const apr_status_t flattened = apr_brigade_flatten(brigade_, buffer, &length);
        flattened != APR_SUCCESS) {
      return flattened;
    }
    *count = length;
  }
  apr_brigade_cleanup(brigade_);
  return APR_SUCCESS;
}

apr_status_t ApacheRequest::FillBody(std::string* body, std::size_t wanted) {
  constexpr std::size_t kStep = 64 * 1024;
  while (body->size() < wanted && !body_ended_) {
    const std::size_t start = body->size();
    const std::size_t step = std::min(kStep, wanted - start);
    body->resize(start + step);
    std::size_t count = 0;
    const apr_status_t rv = ReadBody(body->data() + start, step, &count);
    body->resize(start + count);
    if (rv != APR_SUCCESS) return rv;
  }
  return APR_SUCCESS;
}

bool ApacheRequest::ReadMore(char* buffer, std::size_t capacity, std::size_t* count) {
  const apr_status_t rv = ReadBody(buffer, capacity, count);
  if (rv == APR_SUCCESS) return true;
  ap_log_rerror(APLOG_MARK, APLOG_INFO, rv, r_, "reading the request body failed");
  return false;
}

// ---------------------------------------------------------------- response

bool ApacheRequest::Write(std::string_view bytes) {
  if (response_started_) return SendBody(bytes.data(), bytes.size());
  pending_.append(bytes);
  const std::optional<HeaderBlockEnd> end = FindHeaderBlockEnd(pending_);
  // The header block may still grow, or the answer may still end short.
  if (!end || pending_.size() - end->body_offset <= kHoldBack) return true;
  if (!end->ended_by_empty_line) LogRefusedHeaderLine();
  StartResponse(SplitResponseStream(std::string_view(pending_)), false);
  std::string body = pending_.substr(end->body_offset);
  std::string().swap(pending_);
  return SendBody(body.data(), body.size());
}

bool ApacheRequest::PutHeader(std::string_view header_text) {
  pending_.insert(0, header_text);
  return Write({});
}

void ApacheRequest::LogRefusedHeaderLine() {
  ap_log_rerror(APLOG_MARK, APLOG_WARNING, 0, r_,
                "the extension sent a line that is not a well-formed header (a control character "
                "or no \"Name: value\"): not sent as a header, the body starts there");
}

void ApacheRequest::StartResponse(const SplitResponse& split, bool whole) {
  response_started_ = true;
  ApplyStatus();
  ApplyHeaders(split, whole);
}

void ApacheRequest::ApplyStatus() {
  std::optional<unsigned> code;
  const bool header_sent = extension_->header_sent();
  const std::string& status_line = extension_->status_line();
  if (header_sent) {
    code = ParseStatusCode(status_line);
    if (!code) {
      ap_log_rerror(APLOG_MARK, APLOG_WARNING, 0, r_,
                    "the extension sent a malformed status line; answering with its recorded "
                    "status instead");
    }
  }
  if (!code) {
    const DWORD recorded = extension_->control_block().dwHttpStatusCode;
    code = recorded >= 100 && recorded <= 999 ? static_cast<unsigned>(recorded) : 500u;
  }
  r_->status = static_cast<int>(*code);
  if (!header_sent || !ParseStatusCode(status_line)) return;
  const std::optional<std::string_view> reason = ReasonPhrase(status_line);
  if (!reason) {
    ap_log_rerror(APLOG_MARK, APLOG_WARNING, 0, r_,
                  "the extension's reason phrase holds a control character; httpd's own is sent");
  } else if (!reason->empty()) {
    r_->status_line = apr_psprintf(r_->pool, "%03u %.*s", *code, static_cast<int>(reason->size()),
                                   reason->data());
  }
}

void ApacheRequest::ApplyHeaders(const SplitResponse& split, bool whole) {
  for (const ResponseHeader& header : split.headers) {
    const char* value = apr_pstrmemdup(r_->pool, header.value.data(), header.value.size());
    if (text::EqualsIgnoringAsciiCase(header.name, "Content-Type")) {
      ap_set_content_type(r_, value);
    } else {
      apr_table_addn(r_->headers_out,
                     apr_pstrmemdup(r_->pool, header.name.data(), header.name.size()), value);
    }
  }
  if (whole) {
    // The body is all here: its true length, whatever the extension wrote.
    if (split.content_length_mismatch) {
      ap_log_rerror(APLOG_MARK, APLOG_WARNING, 0, r_,
                    "the extension's Content-Length is not its body's length; the true length "
                    "is sent");
    }
    ap_set_content_length(r_, static_cast<apr_off_t>(pending_.size() - split.body_offset));
    return;
  }
  if (split.declared_length_text.empty()) return;  // httpd frames the body (chunked or close)
  if (const std::optional<apr_off_t> length = ParseLength(split.declared_length_text)) {
    ap_set_content_length(r_, *length);
    length_declared_ = true;
    length_left_ = *length;
  } else {
    ap_log_rerror(APLOG_MARK, APLOG_WARNING, 0, r_,
                  "the extension's Content-Length \"%.*s\" is not a length; left out",
                  static_cast<int>(std::min<std::size_t>(split.declared_length_text.size(), 40)),
                  split.declared_length_text.data());
  }
}

bool ApacheRequest::SendBody(const char* data, std::size_t size) {
  if (length_declared_ && static_cast<apr_off_t>(size) > length_left_) {
    // Bytes past the declared length would be read as the next response on
    // a kept-alive connection: they are dropped.
    if (!overrun_logged_) {
      ap_log_rerror(APLOG_MARK, APLOG_WARNING, 0, r_,
                    "the extension wrote more than its Content-Length; the excess is dropped");
      overrun_logged_ = true;
    }
    size = static_cast<std::size_t>(length_left_);
  }
  if (length_declared_) length_left_ -= static_cast<apr_off_t>(size);
  while (size != 0) {
    const std::size_t piece = std::min(size, kLargestWrite);
    if (ap_rwrite(data, static_cast<int>(piece), r_) < 0) return false;
    data += piece;
    size -= piece;
  }
  return true;
}

int ApacheRequest::Run(PFN_HTTPEXTENSIONPROC proc) {
  extension_->Run(proc);
  return Finish(extension_->result());
}

int ApacheRequest::Finish(DWORD result) {
  if (!response_started_) {
    if (!extension_->header_sent() && pending_.empty()) {
      // Nothing sent: the recorded status, 500 when the call failed without
      // saying why. httpd answers an error status with its own page.
      DWORD status = extension_->control_block().dwHttpStatusCode;
      if (result == HSE_STATUS_ERROR && status == 200) status = 500;
      if (status < 100 || status > 999) status = 500;
      if (status >= 400) {
        if (result == HSE_STATUS_ERROR) r_->connection->keepalive = AP_CONN_CLOSE;
        return static_cast<int>(status);
      }
      r_->status = static_cast<int>(status);
      ap_set_content_length(r_, 0);
      return OK;
    }
    // The extension finished inside what could still have been its header
    // block: the whole response is here, read as the embedded host reads it.
    const SplitResponse split = SplitResponseStream(std::string_view(pending_));
    const std::optional<HeaderBlockEnd> end = FindHeaderBlockEnd(pending_);
    if (end && !end->ended_by_empty_line) LogRefusedHeaderLine();
    StartResponse(split, true);
    std::string whole = std::move(pending_);
    if (!SendBody(whole.data() + split.body_offset, whole.size() - split.body_offset)) {
      r_->connection->keepalive = AP_CONN_CLOSE;
    }
  } else if (length_declared_ && length_left_ > 0) {
    ap_log_rerror(APLOG_MARK, APLOG_WARNING, 0, r_,
                  "the extension wrote %" APR_OFF_T_FMT
                  " bytes less than its Content-Length; the connection is closed",
                  length_left_);
    r_->connection->keepalive = AP_CONN_CLOSE;
  }
  // HSE_STATUS_ERROR asks the server to drop the connection after the answer.
  if (result == HSE_STATUS_ERROR) r_->connection->keepalive = AP_CONN_CLOSE;
  return OK;
}

}  // namespace hosts::apache
