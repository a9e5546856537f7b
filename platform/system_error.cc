// What is the same on every system: the messages and the trace of failures.
#include "platform/system_error.h"

#include <string>

#include "platform/trace_output.h"

namespace platform {

SystemError FoundFailure(const char* call, FailureCause cause) { return {call, 0, cause}; }

std::string DescribeSystemError(const SystemError& error) {
  if (!error.failed()) return "no failure";
  return std::string(error.call) + " failed: " + FailureReason(error);
}

void TraceFailure(const SystemError& error, std::string_view path) {
  if (!error.failed() || !TraceEnabled()) return;
  std::string line = error.call;
  line.append(" \"").append(path).append("\" failed: ").append(FailureReason(error));
  WriteTraceLine(line);
}

}  // namespace platform
