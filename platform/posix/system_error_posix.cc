// POSIX: a failed call leaves its cause in errno; strerror_r names it.
#include <string.h>

#include <cerrno>
#include <string>

#include "platform/system_error.h"

namespace platform {

namespace {

FailureCause CauseOf(int code) {
  switch (code) {
    case ENOENT:
    case ENOTDIR:
      return FailureCause::kNotFound;
    case EACCES:
    case EPERM:
    case EROFS:
      return FailureCause::kDenied;
    case EEXIST:
      return FailureCause::kExists;
    case EISDIR:
    case ENXIO:  // a pipe opened for writing with no reader, a device with nothing behind it
      return FailureCause::kNotRegularFile;
    default:
      return FailureCause::kOther;
  }
}

// The GNU strerror_r may return a static text instead of filling the buffer;
// the POSIX one returns 0 and fills it.
[[maybe_unused]] const char* ErrorText(const char* result, const char* /*buffer*/) {
  return result;
}
[[maybe_unused]] const char* ErrorText(int result, const char* buffer) {
  return result == 0 ? buffer : "unknown error";
}

}  // namespace

SystemError LastSystemError(const char* call) {
  const int code = errno;
  return {call, code, CauseOf(code)};
}

std::string FailureReason(const SystemError& error) {
  if (error.code == 0) {
    if (error.cause == FailureCause::kNotRegularFile) return "not a regular file";
    if (error.cause == FailureCause::kInjected) return "injected failure";
    return "unknown error";
  }
  char buffer[256];
  return std::string(ErrorText(strerror_r(error.code, buffer, sizeof buffer), buffer)) + " (" +
         std::to_string(error.code) + ")";
}

}  // namespace platform
