// The control block and callbacks of one request: the body is received (or
// its first part, the rest read from the host's source on demand) and what
// the extension sends goes through the response framer. Every callback is
// a C entry point: nothing thrown inside crosses it.
#include "hosts/extension/extension_request.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

namespace hosts {

namespace {
constexpr DWORD kVersion = (HSE_VERSION_MAJOR << 16) | HSE_VERSION_MINOR;
// Marks a handle as ours, so a stale or foreign handle is refused.
constexpr DWORD kMagic = 0x48535452;  // "HSTR"

}  // namespace

// Runs one callback's work; what it throws becomes a failed call with the
// not-enough-memory error, as the interface reports a call the server could
// not carry out, and is noted for the host to log.
template <class Work>
BOOL ExtensionRequest::Contained(ExtensionRequest* request, Work&& work) {
  try {
    return work();
  } catch (const std::exception& failure) {
    request->NoteFailure(failure.what());
  } catch (...) {
    request->NoteFailure("an exception of unknown type");
  }
  errno = ENOMEM;
  return FALSE;
}

void ExtensionRequest::NoteFailure(std::string_view what) {
  if (failure_.empty()) failure_ = "a server callback failed: " + std::string(what);
}

ExtensionRequest::ExtensionRequest(RequestInput input, ResponseTransport& transport,
                                   std::size_t hold_limit, std::size_t available_limit)
    : input_(std::move(input)), framer_(transport, hold_limit, &ecb_.dwHttpStatusCode) {
  ecb_.cbSize = sizeof ecb_;
  ecb_.dwVersion = kVersion;
  ecb_.ConnID = this;
  ecb_.dwHttpStatusCode = 200;
  // The extension may write into these texts (it trims and splits the query
  // string in place): each is a string of this request, terminated.
  ecb_.lpszMethod = input_.texts.data(RequestTexts::kMethod);
  ecb_.lpszQueryString = input_.texts.data(RequestTexts::kQuery);
  ecb_.lpszPathInfo = input_.texts.data(RequestTexts::kPathInfo);
  ecb_.lpszPathTranslated = input_.texts.data(RequestTexts::kPathTranslated);
  ecb_.lpszContentType = input_.texts.data(RequestTexts::kContentType);
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

DWORD ExtensionRequest::Run(PFN_HTTPEXTENSIONPROC proc) { return proc(&ecb_); }

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
  return Contained(
      request, [&] { return request->input_.variables.CopyTo(name, buffer, size) ? TRUE : FALSE; });
}

BOOL ExtensionRequest::WriteClient(HCONN connection, LPVOID buffer, LPDWORD bytes, DWORD flags) {
  ExtensionRequest* request = FromHandle(connection);
  if (request == nullptr || bytes == nullptr || (buffer == nullptr && *bytes != 0)) {
    errno = EINVAL;
    return FALSE;
  }
  return Contained(request, [&] { return request->Write(buffer, bytes, flags); });
}

BOOL ExtensionRequest::Write(LPVOID buffer, LPDWORD bytes, DWORD flags) {
  const std::string_view data(static_cast<const char*>(buffer), *bytes);
  if ((flags & HSE_IO_ASYNC) != 0) {
    if (completion_ == nullptr) {
      errno = EINVAL;  // no completion registered: nothing could report the end
      return FALSE;
    }
    const DWORD size = *bytes;
    if (framer_.WriteAsync(data, [this, size](bool sent) { Completed(sent, size); })) return TRUE;
  } else if (framer_.Write(data)) {
    return TRUE;
  }
  // A client that has gone is no fault of the request.
  errno = ECONNRESET;
  *bytes = 0;
  return FALSE;
}

void ExtensionRequest::Completed(bool sent, DWORD bytes) {
  // The extension's callback is C; it reports its own failures through the
  // session's status.
  completion_(&ecb_, completion_context_, sent ? bytes : 0, sent ? 0 : ECONNRESET);
}

BOOL ExtensionRequest::ReadClient(HCONN connection, LPVOID buffer, LPDWORD size) {
  ExtensionRequest* request = FromHandle(connection);
  if (request == nullptr || size == nullptr || (buffer == nullptr && *size != 0)) {
    errno = EINVAL;
    return FALSE;
  }
  return Contained(request, [&] { return request->Read(buffer, size); });
}

BOOL ExtensionRequest::Read(LPVOID buffer, LPDWORD size) {
  const std::string& body = input_.body;
  if (body.size() == read_offset_ && input_.more_body != nullptr) {
    std::size_t count = 0;
    if (!input_.more_body->ReadMore(static_cast<char*>(buffer), *size, &count)) {
      errno = ECONNRESET;
      *size = 0;
      return FALSE;
    }
    *size = static_cast<DWORD>(count);  // 0: the body has been read whole
    return TRUE;
  }
  const std::size_t count = std::min<std::size_t>(*size, body.size() - read_offset_);
  if (count != 0) std::memcpy(buffer, body.data() + read_offset_, count);
  read_offset_ += count;
  *size = static_cast<DWORD>(count);  // 0: the body has been read whole
  return TRUE;
}

BOOL ExtensionRequest::ServerSupportFunction(HCONN connection, DWORD request_code, LPVOID buffer,
                                             LPDWORD size, LPDWORD data_type) {
  (void)size;  // unused by the requests served here, as the interface says
  ExtensionRequest* request = FromHandle(connection);
  if (request == nullptr) {
    errno = EINVAL;
    return FALSE;
  }
  return Contained(request, [&] { return request->Support(request_code, buffer, data_type); });
}

BOOL ExtensionRequest::Support(DWORD request_code, LPVOID buffer, LPDWORD data_type) {
  switch (request_code) {
    case HSE_REQ_SEND_RESPONSE_HEADER: {
      // dataType carries a pointer to the header text, or is null. The
      // status line and headers go out once: a second header call, or one
      // once the response has begun to go out, would put a status line into
      // the body.
      const char* status_line = buffer != nullptr ? static_cast<const char*>(buffer) : "200 OK";
      if (framer_.PutHeader(status_line, reinterpret_cast<const char*>(data_type))) return TRUE;
      errno = EALREADY;
      return FALSE;
    }
    case HSE_REQ_IO_COMPLETION:
      // Offered only where the host can write without holding a thread.
      if (buffer == nullptr || !framer_.CanWriteAsync()) break;
      completion_ = reinterpret_cast<PFN_HSE_IO_COMPLETION>(buffer);
      completion_context_ = data_type;
      return TRUE;
    case HSE_REQ_DONE_WITH_SESSION:
      if (session_done_) {
        session_done_(buffer != nullptr ? *static_cast<const DWORD*>(buffer) : HSE_STATUS_SUCCESS);
      }
      return TRUE;
    default:
      break;
  }
  errno = ENOSYS;
  return FALSE;
}

}  // namespace hosts
