// Where the module's trace lines go. When the environment variable
// DUDAROVUVADU_TRACE_FILE names a file, each line is appended to it, with
// the local time and the thread id in front; a Windows build made with
// DUDAROVUVADU_TRACE_TO_DEBUGGER also sends each line to the debugger.
// Otherwise lines are discarded. Writing a line never fails the caller: a
// trace file that cannot be written loses the line.
#pragma once

#include <cstddef>
#include <string_view>

namespace platform {

// The environment variable that names the trace file.
inline constexpr const char* kTraceFileVariable = "DUDAROVUVADU_TRACE_FILE";

// True when trace lines go anywhere. The variable is read at every call, so
// setting or clearing it takes effect from the next line.
bool TraceEnabled();

// Appends `message` as one line: a CR or LF inside it is written as "\r" or
// "\n", and a message longer than kTraceLineCapacity is cut.
void WriteTraceLine(std::string_view message);

// Writes `message` as one line on the process's standard error, the way
// WriteTraceLine writes it but without time or thread: for what an operator
// must see with no trace file named, such as why the module refuses to
// start (the web server's error log under Apache httpd, the terminal or
// journal of the embedded host). Never fails the caller.
void WriteStandardErrorLine(std::string_view message);

// Longest line written, time, thread id and line end included.
inline constexpr std::size_t kTraceLineCapacity = 4096;

}  // namespace platform
