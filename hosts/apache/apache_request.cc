// The control block of one Apache httpd request: the request's texts and
// server variables from request_rec, ReadClient over httpd's input filters,
// WriteClient and the header call onto httpd's output filters.
#include "hosts/apache/apache_request.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <string_view>

#include "apr_buckets.h"
#include "apr_strings.h"
#include "hosts/apache/apache_log.h"
#include "http_core.h"
#include "http_protocol.h"
#include "http_request.h"
#include "http_ssl.h"

namespace hosts::apache {

namespace {

constexpr DWORD kVersion = (HSE_VERSION_MAJOR << 16) | HSE_VERSION_MINOR;
// Marks a handle as ours, so a stale or foreign handle is refused.
constexpr DWORD kMagic = 0x41504852;  // "APHR"
// Body bytes held back before the response starts: an answer that ends
// within them goes out with its true length, whatever its headers said; a
// longer one streams, framed by the extension's Content-Length.
constexpr std::size_t kHoldBack = 64 * 1024;
// ap_rwrite takes an int count: larger writes go in pieces of this size.
constexpr std::size_t kLargestWrite = std::size_t{1} << 30;

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

// A decimal length of at most 18 digits (no sign, no blank), or nothing.
std::optional<apr_off_t> ParseLength(std::string_view text) {
  if (text.empty() || text.size() > 18) return std::nullopt;
  apr_off_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  return value;
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
    : r_(r),
      method_(r->method != nullptr ? r->method : ""),
      query_(r->args != nullptr ? r->args : ""),
      path_info_(r->uri != nullptr ? r->uri : ""),
      script_name_(std::move(script_name)) {
  if (const char* type = apr_table_get(r->headers_in, "Content-Type")) content_type_ = type;
  brigade_ = apr_brigade_create(r->pool, r->connection->bucket_alloc);
}

ApacheRequest::~ApacheRequest() {
  magic_ = 0;
  apr_brigade_destroy(brigade_);
}

int ApacheRequest::Prepare() {
  // Chunked bodies are de-chunked by httpd; LimitRequestBody is enforced by
  // its input filter, which reports a longer body as APR_ENOSPC (413).
  if (const int status = ap_setup_client_block(r_, REQUEST_CHUNKED_DECHUNK); status != OK) {
    return status;
  }
  DWORD total = 0;
  if (ap_should_client_block(r_)) {
    if (r_->read_chunked) {
      // The extension needs the body's length up front: a chunked body is
      // read whole (bounded by LimitRequestBody) before it is called.
      if (const apr_status_t rv = FillBody(HSE_BODY_LENGTH_UNKNOWN); rv != APR_SUCCESS) {
        return ap_map_http_request_error(rv, HTTP_BAD_REQUEST);
      }
      if (!body_ended_) return HTTP_REQUEST_ENTITY_TOO_LARGE;
      total = static_cast<DWORD>(body_.size());
    } else {
      if (r_->remaining >= static_cast<apr_off_t>(HSE_BODY_LENGTH_UNKNOWN)) {
        return HTTP_REQUEST_ENTITY_TOO_LARGE;
      }
      total = static_cast<DWORD>(r_->remaining);
      if (const apr_status_t rv = FillBody(std::min<std::size_t>(total, kAvailableLimit));
          rv != APR_SUCCESS) {
        return ap_map_http_request_error(rv, HTTP_BAD_REQUEST);
      }
      body_from_server_ = !body_ended_;
    }
  }

  ecb_.cbSize = sizeof ecb_;
  ecb_.dwVersion = kVersion;
  ecb_.ConnID = this;
  ecb_.dwHttpStatusCode = 200;
  // The extension may write into these texts: each is a string of this
  // request, terminated.
  ecb_.lpszMethod = method_.data();
  ecb_.lpszQueryString = query_.data();
  ecb_.lpszPathInfo = path_info_.data();
  ecb_.lpszPathTranslated = path_translated_.data();
  ecb_.lpszContentType = content_type_.data();
  ecb_.cbTotalBytes = total;
  const std::size_t available = std::min(body_.size(), kAvailableLimit);
  ecb_.cbAvailable = static_cast<DWORD>(available);
  ecb_.lpbData = reinterpret_cast<LPBYTE>(body_.data());
  body_offset_ = available;
  ecb_.GetServerVariable = &ApacheRequest::GetServerVariable;
  ecb_.WriteClient = &ApacheRequest::WriteClient;
  ecb_.ReadClient = &ApacheRequest::ReadClient;
  ecb_.ServerSupportFunction = &ApacheRequest::ServerSupportFunction;
  SetServerVariables();
  variables_.Set("CONTENT_LENGTH", std::to_string(total));
  magic_ = kMagic;
  return OK;
}

// The names and meanings the embedded host serves, from httpd's view of the
// request: the client address as mod_remoteip leaves it, the port the
// request arrived on, the server name as httpd resolves it.
void ApacheRequest::SetServerVariables() {
  conn_rec* connection = r_->connection;
  const bool tls = ap_ssl_conn_is_ssl(connection) != 0;
  const char* client = r_->useragent_ip != nullptr ? r_->useragent_ip : "";
  const apr_sockaddr_t* client_address =
      r_->useragent_addr != nullptr ? r_->useragent_addr : connection->client_addr;
  const apr_port_t local_port =
      connection->local_addr != nullptr ? connection->local_addr->port : 0;
  variables_.Set("REMOTE_ADDR", client);
  variables_.Set("REMOTE_HOST", client);
  variables_.Set("REMOTE_PORT",
                 client_address != nullptr ? std::to_string(client_address->port) : "");
  variables_.Set("LOCAL_ADDR", connection->local_ip != nullptr ? connection->local_ip : "");
  variables_.Set("SERVER_NAME", ap_get_server_name(r_));
  variables_.Set("SERVER_PORT", std::to_string(local_port));
  variables_.Set("SERVER_PORT_SECURE", tls ? "1" : "0");
  variables_.Set("HTTPS", tls ? "on" : "off");
  variables_.Set("SERVER_PROTOCOL", r_->protocol != nullptr ? r_->protocol : "");
  variables_.Set("SERVER_SOFTWARE", ap_get_server_banner());
  variables_.Set("GATEWAY_INTERFACE", "CGI/1.1");
  variables_.Set("REQUEST_METHOD", method_);
  variables_.Set("SCRIPT_NAME", script_name_);
  variables_.Set("URL", path_info_);
  variables_.Set("PATH_INFO", path_info_);
  variables_.Set("PATH_TRANSLATED", "");
  variables_.Set("QUERY_STRING", query_);
  variables_.Set("CONTENT_TYPE", content_type_);
  apr_table_do(&CollectHeader, &variables_, r_->headers_in, nullptr);
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

apr_status_t ApacheRequest::FillBody(std::size_t wanted) {
  constexpr std::size_t kStep = 64 * 1024;
  while (body_.size() < wanted && !body_ended_) {
    const std::size_t start = body_.size();
    const std::size_t step = std::min(kStep, wanted - start);
    body_.resize(start + step);
    std::size_t count = 0;
    const apr_status_t rv = ReadBody(body_.data() + start, step, &count);
    body_.resize(start + count);
    if (rv != APR_SUCCESS) return rv;
  }
  return APR_SUCCESS;
}

// ---------------------------------------------------------------- callbacks

ApacheRequest* ApacheRequest::FromHandle(HCONN connection) {
  auto* request = static_cast<ApacheRequest*>(connection);
  if (request == nullptr || request->magic_ != kMagic) return nullptr;
  return request;
}

BOOL ApacheRequest::GetServerVariable(HCONN connection, LPSTR name, LPVOID buffer, LPDWORD size) {
  ApacheRequest* request = FromHandle(connection);
  if (request == nullptr) {
    errno = EINVAL;
    return FALSE;
  }
  return request->variables_.CopyTo(name, buffer, size) ? TRUE : FALSE;
}

BOOL ApacheRequest::ReadClient(HCONN connection, LPVOID buffer, LPDWORD size) {
  ApacheRequest* request = FromHandle(connection);
  if (request == nullptr || size == nullptr || (buffer == nullptr && *size != 0)) {
    errno = EINVAL;
    return FALSE;
  }
  auto* out = static_cast<char*>(buffer);
  const std::size_t held = request->body_.size() - request->body_offset_;
  if (held != 0 || !request->body_from_server_) {
    const std::size_t count = std::min<std::size_t>(*size, held);
    if (count != 0) std::memcpy(out, request->body_.data() + request->body_offset_, count);
    request->body_offset_ += count;
    *size = static_cast<DWORD>(count);  // 0: the body has been read whole
    return TRUE;
  }
  std::size_t count = 0;
  const apr_status_t rv = request->ReadBody(out, *size, &count);
  if (rv != APR_SUCCESS) {
    ap_log_rerror(APLOG_MARK, APLOG_INFO, rv, request->r_, "reading the request body failed");
    errno = ECONNRESET;
    *size = 0;
    return FALSE;
  }
  *size = static_cast<DWORD>(count);
  return TRUE;
}

BOOL ApacheRequest::WriteClient(HCONN connection, LPVOID buffer, LPDWORD bytes, DWORD reserved) {
  (void)reserved;  // every write is synchronous
  ApacheRequest* request = FromHandle(connection);
  if (request == nullptr || bytes == nullptr || (buffer == nullptr && *bytes != 0)) {
    errno = EINVAL;
    return FALSE;
  }
  if (!request->Take(static_cast<const char*>(buffer), *bytes)) {
    errno = ECONNRESET;  // the client has gone: no fault of the request
    *bytes = 0;
    return FALSE;
  }
  return TRUE;
}

BOOL ApacheRequest::ServerSupportFunction(HCONN connection, DWORD request_code, LPVOID buffer,
                                          LPDWORD size, LPDWORD data_type) {
  (void)size;  // unused for the header call, as the interface says
  ApacheRequest* request = FromHandle(connection);
  if (request == nullptr) {
    errno = EINVAL;
    return FALSE;
  }
  if (request_code != HSE_REQ_SEND_RESPONSE_HEADER) {
    errno = ENOSYS;
    return FALSE;
  }
  // The status line and headers go out once; once the response has started
  // a header call could only put a status line into the body.
  if (request->header_sent_ || request->response_started_) {
    errno = EALREADY;
    return FALSE;
  }
  request->header_sent_ = true;
  request->status_line_ = buffer != nullptr ? static_cast<const char*>(buffer) : "200 OK";
  // dataType carries a pointer to the header text, or is null.
  const char* header_text = reinterpret_cast<const char*>(data_type);
  if (header_text == nullptr) return TRUE;
  request->pending_.insert(0, header_text);
  return request->Take(nullptr, 0) ? TRUE : FALSE;
}

// ---------------------------------------------------------------- response

bool ApacheRequest::Take(const char* data, std::size_t size) {
  if (response_started_) return SendBody(data, size);
  if (size != 0) pending_.append(data, size);
  const std::optional<HeaderBlockEnd> end = FindHeaderBlockEnd(pending_);
  // The header block may still grow, or the answer may still end short.
  if (!end || pending_.size() - end->body_offset <= kHoldBack) return true;
  if (!end->ended_by_empty_line) LogRefusedHeaderLine();
  StartResponse(SplitResponseStream(std::string_view(pending_)), false);
  std::string body = pending_.substr(end->body_offset);
  std::string().swap(pending_);
  return SendBody(body.data(), body.size());
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
  if (header_sent_) {
    code = ParseStatusCode(status_line_);
    if (!code) {
      ap_log_rerror(APLOG_MARK, APLOG_WARNING, 0, r_,
                    "the extension sent a malformed status line; answering with its recorded "
                    "status instead");
    }
  }
  if (!code) {
    const DWORD recorded = ecb_.dwHttpStatusCode;
    code = recorded >= 100 && recorded <= 999 ? static_cast<unsigned>(recorded) : 500u;
  }
  r_->status = static_cast<int>(*code);
  if (!header_sent_ || !ParseStatusCode(status_line_)) return;
  const std::optional<std::string_view> reason = ReasonPhrase(status_line_);
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
    if (EqualsIgnoringCase(header.name, "Content-Type")) {
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

int ApacheRequest::Run(PFN_HTTPEXTENSIONPROC proc) { return Finish(proc(&ecb_)); }

int ApacheRequest::Finish(DWORD result) {
  if (!response_started_) {
    if (!header_sent_ && pending_.empty()) {
      // Nothing sent: the recorded status, 500 when the call failed without
      // saying why. httpd answers an error status with its own page.
      DWORD status = ecb_.dwHttpStatusCode;
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
