// Run timestamps and the trace sink. The module narrates its work in trace
// messages; each is formatted in full into a bounded buffer and handed to
// TraceSink, which passes it to the platform's trace output: appended to the
// file that DUDAROVUVADU_TRACE_FILE names, else discarded.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace spool {

// Capacity of a formatted trace message, terminator included; longer
// messages are cut to fit.
inline constexpr std::size_t kTraceCapacity = 2048;

// Hands a message to the trace output (platform/trace_output.h); never fails.
void TraceSink(std::string_view message);

// True when a message handed to TraceSink goes anywhere: to the trace file,
// or to a test's observer. Otherwise a caller may leave a message unformed,
// since the sink would drop it.
bool TraceWanted();

// Fills `format` (printf conversions, constant formats only) into a fixed
// buffer of kTraceCapacity characters, cut to fit, and hands the message to
// TraceSink; formats nothing when no trace is wanted. Allocates nothing.
void TraceFormat(const char* format, ...) __attribute__((format(printf, 1, 2)));

// "(dd/mm/yyyy hh:mm:ss)" of the present local time becomes the current
// start time; the old one, if valid, becomes the previous one. Returns the
// new current start time.
std::string StampStartTime();
// The held current start time, or "(oldcurtime inconnu)".
std::string CurrentStartTime();
// The held previous start time, or "(prevtime inconnu)".
std::string PreviousStartTime();

// What the module does when it loads and unloads: the start and stop trace
// lines around the creation and deletion of the two counter locks.
void RunLoadSequence();
void RunUnloadSequence();

namespace testing {
// Every message TraceSink accepts is also handed to `observer` (null: none).
// Lets a test see what the sink was given.
using TraceObserver = void (*)(std::string_view message);
void SetTraceObserver(TraceObserver observer);
// Forgets both start times, as at a fresh load.
void ResetStartTimes();
}  // namespace testing

}  // namespace spool
