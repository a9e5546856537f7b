// Windows: a failed call leaves its cause in the thread's last error;
// FormatMessageA names it.
#include <windows.h>

#include <string>

#include "platform/system_error.h"

namespace platform {

namespace {

FailureCause CauseOf(DWORD code) {
  switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
      return FailureCause::kNotFound;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_WRITE_PROTECT:
      return FailureCause::kDenied;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return FailureCause::kExists;
    default:
      return FailureCause::kOther;
  }
}

}  // namespace

SystemError LastSystemError(const char* call) {
  const DWORD code = GetLastError();
  return {call, static_cast<int>(code), CauseOf(code)};
}

std::string FailureReason(const SystemError& error) {
  if (error.code == 0) {
    if (error.cause == FailureCause::kNotRegularFile) return "not a regular file";
    if (error.cause == FailureCause::kInjected) return "injected failure";
    return "unknown error";
  }
  char buffer[256];
  DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                static_cast<DWORD>(error.code), 0, buffer,
                                static_cast<DWORD>(sizeof buffer), nullptr);
  // The system's texts end with a period and CR LF.
  while (length > 0 && (buffer[length - 1] == '\n' || buffer[length - 1] == '\r' ||
                        buffer[length - 1] == ' ' || buffer[length - 1] == '.')) {
    --length;
  }
  std::string text = length > 0 ? std::string(buffer, length) : std::string("unknown error");
  return text + " (" + std::to_string(error.code) + ")";
}

}  // namespace platform
