// POSIX trace output: each line is appended to the trace file by one write()
// on a descriptor opened with O_APPEND, so lines of concurrent threads and
// processes never interleave. The file is opened for every line, so a file
// that is moved away (rotated) is created afresh.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "platform/trace_line.h"
#include "platform/trace_output.h"

namespace platform {

namespace {

const char* TraceFilePath() {
  const char* path = std::getenv(kTraceFileVariable);
  return path != nullptr && *path != '\0' ? path : nullptr;
}

// "2026-12-08 08:40:02.123 [4711] ": local time to the millisecond, thread id.
std::size_t FormatLinePrefix(char* buffer, std::size_t capacity) {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  tm local{};
  localtime_r(&now.tv_sec, &local);
  const int length = std::snprintf(buffer, capacity, "%04d-%02d-%02d %02d:%02d:%02d.%03ld [%ld] ",
                                   local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                                   local.tm_hour, local.tm_min, local.tm_sec,
                                   now.tv_nsec / 1000000L, static_cast<long>(gettid()));
  if (length < 0) return 0;
  return std::min(static_cast<std::size_t>(length), capacity - 1);
}

}  // namespace

bool TraceEnabled() { return TraceFilePath() != nullptr; }

void WriteTraceLine(std::string_view message) {
  const char* path = TraceFilePath();
  if (path == nullptr) return;
  const int saved_errno = errno;  // a caller may still want the error it met
  char line[kTraceLineCapacity];
  const std::size_t length =
      AppendTraceMessage(line, FormatLinePrefix(line, sizeof line), sizeof line, message, "\n");
  // Readable by the owner only: messages carry request values.
  int descriptor = -1;
  do {
    descriptor = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0600);
  } while (descriptor < 0 && errno == EINTR);
  if (descriptor >= 0) {
    ssize_t written = -1;
    do {
      written = write(descriptor, line, length);
    } while (written < 0 && errno == EINTR);
    close(descriptor);
  }
  errno = saved_errno;
}

void WriteStandardErrorLine(std::string_view message) {
  const int saved_errno = errno;
  char line[kTraceLineCapacity];
  const std::size_t length = AppendTraceMessage(line, 0, sizeof line, message, "\n");
  ssize_t written = -1;
  do {
    written = write(STDERR_FILENO, line, length);
  } while (written < 0 && errno == EINTR);
  errno = saved_errno;
}

}  // namespace platform
