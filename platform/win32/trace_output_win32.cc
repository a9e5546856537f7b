// Windows trace output: each line is appended to the trace file by one
// WriteFile on a handle opened for appending only, so lines of concurrent
// threads and processes never interleave; a build made with
// DUDAROVUVADU_TRACE_TO_DEBUGGER also hands each line to OutputDebugStringA.
// The file is opened for every line, so a file moved away is created afresh.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "platform/trace_line.h"
#include "platform/trace_output.h"

namespace platform {

namespace {

#ifdef DUDAROVUVADU_TRACE_TO_DEBUGGER
constexpr bool kTraceToDebugger = true;
#else
constexpr bool kTraceToDebugger = false;
#endif

const char* TraceFilePath() {
  const char* path = std::getenv(kTraceFileVariable);
  return path != nullptr && *path != '\0' ? path : nullptr;
}

// "2026-12-08 08:40:02.123 [4711] ": local time to the millisecond, thread id.
std::size_t FormatLinePrefix(char* buffer, std::size_t capacity) {
  SYSTEMTIME local{};
  GetLocalTime(&local);
  const int length = std::snprintf(
      buffer, capacity, "%04u-%02u-%02u %02u:%02u:%02u.%03u [%lu] ",
      static_cast<unsigned>(local.wYear), static_cast<unsigned>(local.wMonth),
      static_cast<unsigned>(local.wDay), static_cast<unsigned>(local.wHour),
      static_cast<unsigned>(local.wMinute), static_cast<unsigned>(local.wSecond),
      static_cast<unsigned>(local.wMilliseconds), static_cast<unsigned long>(GetCurrentThreadId()));
  if (length < 0) return 0;
  return std::min(static_cast<std::size_t>(length), capacity - 1);
}

void AppendToFile(const char* path, const char* line, std::size_t length) {
  HANDLE file =
      CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  (void)WriteFile(file, line, static_cast<DWORD>(length), &written, nullptr);
  CloseHandle(file);
}

}  // namespace

bool TraceEnabled() { return kTraceToDebugger || TraceFilePath() != nullptr; }

void WriteTraceLine(std::string_view message) {
  const char* path = TraceFilePath();
  if (path == nullptr && !kTraceToDebugger) return;
  const DWORD saved_error = GetLastError();  // a caller may still want the error it met
  char line[kTraceLineCapacity];
  const std::size_t length =
      AppendTraceMessage(line, FormatLinePrefix(line, sizeof line), sizeof line, message, "\r\n");
  if (path != nullptr) AppendToFile(path, line, length);
  if (kTraceToDebugger) {
    line[length - 2] = '\n';
    line[length - 1] = '\0';
    OutputDebugStringA(line);
  }
  SetLastError(saved_error);
}

void WriteStandardErrorLine(std::string_view message) {
  const DWORD saved_error = GetLastError();
  char line[kTraceLineCapacity];
  const std::size_t length = AppendTraceMessage(line, 0, sizeof line, message, "\r\n");
  const HANDLE standard_error = GetStdHandle(STD_ERROR_HANDLE);
  DWORD written = 0;
  // A service has no standard error: the line goes nowhere.
  if (standard_error != nullptr && standard_error != INVALID_HANDLE_VALUE) {
    WriteFile(standard_error, line, static_cast<DWORD>(length), &written, nullptr);
  }
  SetLastError(saved_error);
}

}  // namespace platform
