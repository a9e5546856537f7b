// The control block and callbacks of one request: the body is received (or
// its first part, the rest read from the host's source on demand) and the
// response is collected whole, or, once it grows past the host's threshold,
// passed on to the host's sink as it is written; or every write goes to the
// host's writer.
#include "hosts/extension_request.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>

#include "hosts/response_split.h"

namespace hosts {

namespace {
constexpr DWORD kVersion = (HSE_VERSION_MAJOR << 16) | HSE_VERSION_MINOR;
// Marks a handle as ours, so a stale or foreign handle is refused.
constexpr DWORD kMagic = 0x48535452;  // "HSTR"
}  // namespace

ExtensionRequest::ExtensionRequest(RequestInput input, std::size_t available_limit)
    : input_(std::move(input)) {
  ecb_.cbSize = sizeof ecb_;
  ecb_.dwVersion = kVersion;
  ecb_.ConnID = this;
  ecb_.dwHttpStatusCode = 200;
  // The extension may write into these texts (it trims and splits the query
  // string in place): each is a string of this request, terminated.
  ecb_.lpszMethod = input_.method.data();
  ecb_.lpszQueryString = input_.query.data();
  ecb_.lpszPathInfo = input_.path_info.data();
  ecb_.lpszPathTranslated = input_.path_translated.data();
  ecb_.lpszContentType = input_.content_type.data();
  // Bodies are bounded far below 4 GiB by the server; a larger one would be
  // reported as uncountable, as the interface defines.
  if (input_.total_bytes) {
    ecb_.cbTotalBytes = *input_.total_bytes;
  } else {
    ecb_.cbTotalBytes = input_.body.size() < HSE_BODY_LENGTH_UNKNOWN
                            ? static_cast<DWORD>(input_.body.size())
                            : HSE_BODY_LENGTH_UNKNOWN;
  }
  const std::size_t available = std::min(input_.body.size(), available_limit);
  ecb_.cbAvailable = static_cast<DWORD>(available);
  ecb_.lpbData = reinterpret_cast<LPBYTE>(input_.body.data());
  read_offset_ = available;
  ecb_.GetServerVariable = &ExtensionRequest::GetServerVariable;
  ecb_.WriteClient = &ExtensionRequest::WriteClient;
  ecb_.ReadClient = &ExtensionRequest::ReadClient;
  ecb_.ServerSupportFunction = &ExtensionRequest::ServerSupportFunction;
  magic_ = kMagic;
}

ExtensionRequest::~ExtensionRequest() { magic_ = 0; }

void ExtensionRequest::Run(PFN_HTTPEXTENSIONPROC proc) { result_ = proc(&ecb_); }

unsigned ExtensionRequest::StatusCode() const {
  if (header_sent_) {
    if (std::optional<unsigned> code = ParseStatusCode(status_line_)) return *code;
  } else if (result_ == HSE_STATUS_ERROR && stream_.empty() && ecb_.dwHttpStatusCode == 200) {
    return 500;  // failed without a word: not a success
  }
  const DWORD recorded = ecb_.dwHttpStatusCode;
  return recorded >= 100 && recorded <= 999 ? static_cast<unsigned>(recorded) : 500;
}

ExtensionRequest* ExtensionRequest::FromHandle(HCONN connection) {
  auto* request = static_cast<ExtensionRequest*>(connection);
  if (request == nullptr || request->magic_ != kMagic) return nullptr;
  return request;
}

BOOL ExtensionRequest::GetServerVariable(HCONN connection, LPSTR name, LPVOID buffer,
                                         LPDWORD size) {
  ExtensionRequest* request = FromHandle(connection);
  if (request == nullptr) {
    errno = EINVAL;
    return FALSE;
  }
  return request->input_.variables.CopyTo(name, buffer, size) ? TRUE : FALSE;
}

BOOL ExtensionRequest::WriteClient(HCONN connection, LPVOID buffer, LPDWORD bytes, DWORD reserved) {
  (void)reserved;  // synchronous or not, the bytes are taken at once
  ExtensionRequest* request = FromHandle(connection);
  if (request == nullptr || bytes == nullptr || (buffer == nullptr && *bytes != 0)) {
    errno = EINVAL;
    return FALSE;
  }
  const int error = request->Take(std::string_view(static_cast<const char*>(buffer), *bytes));
  if (error != 0) {
    errno = error;
    *bytes = 0;
    return FALSE;
  }
  return TRUE;
}

int ExtensionRequest::Take(std::string_view data) {
  // A client that has gone is no fault of the request.
  if (writer_ != nullptr) return writer_->Write(data) ? 0 : ECONNRESET;
  if (streamed_ ||
      (sink_ != nullptr &&
       data.size() > stream_threshold_ - std::min(stream_threshold_, stream_.size()))) {
    // Too large to hold: what is held goes first, then these bytes, straight
    // from the extension's buffer.
    streamed_ = true;
    const bool sent = sink_->Stream(stream_, data);
    std::string().swap(stream_);
    return sent ? 0 : ECONNRESET;
  }
  if (data.size() > kMaxResponseBytes - std::min(kMaxResponseBytes, stream_.size())) return ENOMEM;
  stream_.append(data);
  return 0;
}

BOOL ExtensionRequest::ReadClient(HCONN connection, LPVOID buffer, LPDWORD size) {
  ExtensionRequest* request = FromHandle(connection);
  if (request == nullptr || size == nullptr || (buffer == nullptr && *size != 0)) {
    errno = EINVAL;
    return FALSE;
  }
  ++request->read_client_calls_;
  const std::string& body = request->input_.body;
  if (body.size() == request->read_offset_ && request->input_.more_body != nullptr) {
    std::size_t count = 0;
    if (!request->input_.more_body->ReadMore(static_cast<char*>(buffer), *size, &count)) {
      errno = ECONNRESET;
      *size = 0;
      return FALSE;
    }
    *size = static_cast<DWORD>(count);  // 0: the body has been read whole
    return TRUE;
  }
  const std::size_t count = std::min<std::size_t>(*size, body.size() - request->read_offset_);
  if (count != 0) std::memcpy(buffer, body.data() + request->read_offset_, count);
  request->read_offset_ += count;
  *size = static_cast<DWORD>(count);  // 0: the body has been read whole
  return TRUE;
}

BOOL ExtensionRequest::ServerSupportFunction(HCONN connection, DWORD request_code, LPVOID buffer,
                                             LPDWORD size, LPDWORD data_type) {
  (void)size;  // unused for the header call, as the interface says
  ExtensionRequest* request = FromHandle(connection);
  if (request == nullptr) {
    errno = EINVAL;
    return FALSE;
  }
  if (request_code != HSE_REQ_SEND_RESPONSE_HEADER) {
    errno = ENOSYS;
    return FALSE;
  }
  // The status line and headers go out once; a second header call, or one
  // once the response has begun to go out, would put a status line into the
  // body.
  if (request->header_sent_ || request->streamed_ ||
      (request->writer_ != nullptr && request->writer_->Started())) {
    errno = EALREADY;
    return FALSE;
  }
  request->header_sent_ = true;
  request->status_line_ = buffer != nullptr ? static_cast<const char*>(buffer) : "200 OK";
  // dataType carries a pointer to the header text, or is null.
  const char* header_text = reinterpret_cast<const char*>(data_type);
  if (header_text == nullptr) return TRUE;
  if (request->writer_ != nullptr) return request->writer_->PutHeader(header_text) ? TRUE : FALSE;
  request->stream_.insert(0, header_text);
  return TRUE;
}

}  // namespace hosts
