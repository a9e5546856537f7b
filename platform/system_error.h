// Why a file operation failed: the system call that failed, named for
// messages, the system's own error code, and the cause callers tell apart.
// Failures are also recorded in the trace with the path they concern.
#pragma once

#include <string>
#include <string_view>

namespace platform {

enum class FailureCause {
  kNone,            // nothing failed
  kNotFound,        // no such file, or a directory on the way is missing
  kDenied,          // the rights (or, on Windows, another process's sharing) forbid it
  kExists,          // exclusive creation met an existing file
  kNotRegularFile,  // a directory, pipe, device or socket: only plain files are opened
  kInjected,        // made to fail by testing::FailNthFileOpen
  kOther,
};

struct SystemError {
  const char* call = nullptr;  // the failed call, as "open()"; null when nothing failed
  int code = 0;                // errno or GetLastError(); 0 when the system reported no error
  FailureCause cause = FailureCause::kNone;

  bool failed() const { return call != nullptr; }
};

// The error the system left for the call that has just failed.
SystemError LastSystemError(const char* call);
// A failure the platform layer finds itself (a file that is not a regular
// one, an injected fault): no system error code.
SystemError FoundFailure(const char* call, FailureCause cause);

// The reason alone, as "No such file or directory (2)" or "not a regular file".
std::string FailureReason(const SystemError& error);
// One line for messages: "open() failed: No such file or directory (2)".
std::string DescribeSystemError(const SystemError& error);

// Writes "<call> \"<path>\" failed: <reason>" to the trace (trace_output.h).
// Nothing is formatted when the trace goes nowhere.
void TraceFailure(const SystemError& error, std::string_view path);

}  // namespace platform
