// One Apache httpd request: the request's texts and server variables from
// request_rec, the body past its first part from httpd's input filters, the
// extension's writes and header text onto httpd's output filters. The
// control block and its callbacks are the shared extension request's.
#include "hosts/apache/apache_request.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <string_view>

#include "apr_buckets.h"
#include "apr_strings.h"
#include "hosts/apache/apache_head.h"
#include "hosts/apache/apache_log.h"
#include "http_core.h"
#include "http_protocol.h"
#include "http_request.h"
#include "http_ssl.h"

namespace hosts::apache {

namespace {

// ap_rwrite takes an int count: larger writes go in pieces of this size.
constexpr std::size_t kLargestWrite = std::size_t{1} << 30;

int CollectHeader(void* variables, const char* name, const char* value) {
  static_cast<ServerVariables*>(variables)->AddRequestHeader(name, value != nullptr ? value : "");
  return 1;  // go on
}

// The request headers' count and the bytes of their names and values.
struct HeaderSizes {
  std::size_t count = 0;
  std::size_t bytes = 0;
};

int MeasureHeader(void* sizes, const char* name, const char* value) {
  auto* total = static_cast<HeaderSizes*>(sizes);
  ++total->count;
  total->bytes += std::strlen(name) + (value != nullptr ? std::strlen(value) : 0);
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
  // Body bytes held back before the response starts: an answer that ends
  // within them goes out with its true length, whatever its headers said; a
  // longer one streams, framed by the extension's Content-Length.
  ResponseTransport& transport = *this;
  extension_.emplace(Input(std::move(body), total), transport, settings_.hold_limit,
                     settings_.available_limit);
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
  if (const apr_status_t rv =
          FillBody(body, std::min<std::size_t>(*total, settings_.available_limit));
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
  RequestTexts::Values texts;
  texts.method = r_->method != nullptr ? r_->method : "";
  texts.query = r_->args != nullptr ? r_->args : "";
  texts.path_info = r_->uri != nullptr ? r_->uri : "";
  if (const char* type = apr_table_get(r_->headers_in, "Content-Type")) texts.content_type = type;
  input.texts = RequestTexts(texts);
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
  facts.method = texts.method;
  facts.script_name = script_name_;
  facts.path = texts.path_info;
  facts.query = texts.query;
  facts.content_type = texts.content_type;
  HeaderSizes headers;
  apr_table_do(&MeasureHeader, &headers, r_->headers_in, nullptr);
  input.variables.ReserveForRequest(facts, headers.count, headers.bytes);
  input.variables.SetRequestVariables(facts);
  apr_table_do(&CollectHeader, &input.variables, r_->headers_in, nullptr);
  input.variables.SetContentLength(total);
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

bool ApacheRequest::SendHead(const ResponseHead& decided) {
  const ApacheHead head = BuildApacheHead(decided);
  r_->status = head.status;
  r_->status_line = apr_pstrmemdup(r_->pool, head.status_line.data(), head.status_line.size());
  if (head.content_type) {
    ap_set_content_type(
        r_, apr_pstrmemdup(r_->pool, head.content_type->data(), head.content_type->size()));
  }
  for (const ResponseHeader& header : head.headers) {
    apr_table_addn(r_->headers_out,
                   apr_pstrmemdup(r_->pool, header.name.data(), header.name.size()),
                   apr_pstrmemdup(r_->pool, header.value.data(), header.value.size()));
  }
  // Without a length httpd frames the body itself (chunked, or the close).
  if (head.content_length) ap_set_content_length(r_, static_cast<apr_off_t>(*head.content_length));
  return true;
}

bool ApacheRequest::SendBody(std::string_view bytes) {
  while (!bytes.empty()) {
    const std::size_t piece = std::min(bytes.size(), kLargestWrite);
    if (ap_rwrite(bytes.data(), static_cast<int>(piece), r_) < 0) return false;
    bytes.remove_prefix(piece);
  }
  return true;
}

void ApacheRequest::End(bool reusable) {
  if (!reusable) r_->connection->keepalive = AP_CONN_CLOSE;
}

void ApacheRequest::LogFraming() const {
  if (!extension_->failure().empty()) {
    ap_log_rerror(APLOG_MARK, APLOG_WARNING, 0, r_, "%s", extension_->failure().c_str());
  }
  const ResponseFramer& response = extension_->response();
  if (response.header_block_cut()) {
    ap_log_rerror(APLOG_MARK, APLOG_WARNING, 0, r_,
                  "the extension sent a line that is not a well-formed header (a control "
                  "character or no \"Name: value\"): not sent as a header, the body starts there");
  }
  if (response.length_mismatch()) {
    ap_log_rerror(APLOG_MARK, APLOG_WARNING, 0, r_,
                  "the extension's Content-Length is not its body's length; the true length "
                  "is sent");
  }
}

int ApacheRequest::Run(PFN_HTTPEXTENSIONPROC proc) {
  const DWORD result = extension_->Run(proc);
  if (extension_->response().empty()) {
    // Nothing sent: the status as every host decides it (500 when the call
    // failed without saying why). httpd answers an error status with its
    // own page.
    const unsigned status = extension_->response().StatusFor(result == HSE_STATUS_ERROR);
    if (status >= 400) {
      if (result == HSE_STATUS_ERROR) r_->connection->keepalive = AP_CONN_CLOSE;
      return static_cast<int>(status);
    }
  }
  // httpd runs each request on a thread of its own and offers no
  // asynchronous writes, so a pending result cannot happen here.
  extension_->Finish(result);
  LogFraming();
  return OK;
}

}  // namespace hosts::apache
