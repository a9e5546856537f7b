// The trace sink, the formatting step in front of it, and the two start
// timestamps the load and unload messages carry.
#include "spool/trace.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>

#include "platform/clock.h"
#include "platform/trace_output.h"
#include "spool/counter_locks.h"

namespace spool {

namespace {

// Written only while the module loads, before any request; read afterwards.
// Built on first use: the extension object stamps them from the static
// initialisation of another file, which may run before this file's globals
// would have been constructed (the stamp would then be overwritten and lost).
std::string& CurrentStamp() {
  static std::string stamp;
  return stamp;
}
std::string& PreviousStamp() {
  static std::string stamp;
  return stamp;
}

std::atomic<testing::TraceObserver> g_observer{nullptr};

bool IsValidStamp(const std::string& stamp) {
  return stamp.size() == 21 && stamp.front() == '(' && stamp.back() == ')';
}

std::string FormatStamp(const platform::LocalTime& time) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "(%02d/%02d/%04d %02d:%02d:%02d)", time.day, time.month,
                time.year, time.hour, time.minute, time.second);
  return buffer;
}

// The load and unload lines use a buffer of 256 characters.
void TraceStartLine(const char* format, const std::string& current, const std::string& previous) {
  char buffer[256];
  std::snprintf(buffer, sizeof buffer, format, current.c_str(), previous.c_str());
  TraceSink(buffer);
}

}  // namespace

void TraceSink(std::string_view message) {
  if (testing::TraceObserver observer = g_observer.load()) observer(message);
  platform::WriteTraceLine(message);
}

bool TraceWanted() { return g_observer.load() != nullptr || platform::TraceEnabled(); }

void TraceFormat(const char* format, ...) {
  if (!TraceWanted()) return;
  char buffer[kTraceCapacity];
  va_list arguments;
  va_start(arguments, format);
  // vsnprintf cuts a longer message to the buffer and terminates it.
  std::vsnprintf(buffer, sizeof buffer, format, arguments);
  va_end(arguments);
  TraceSink(buffer);
}

std::string StampStartTime() {
  PreviousStamp() = IsValidStamp(CurrentStamp()) ? CurrentStamp() : "(curtime inconnu)";
  platform::LocalTime now;
  CurrentStamp() = platform::LocalNow(now) ? FormatStamp(now) : std::string();
  return CurrentStamp();
}

std::string CurrentStartTime() {
  return IsValidStamp(CurrentStamp()) ? CurrentStamp() : "(oldcurtime inconnu)";
}

std::string PreviousStartTime() {
  return IsValidStamp(PreviousStamp()) ? PreviousStamp() : "(prevtime inconnu)";
}

void RunLoadSequence() {
  const std::string previous = PreviousStartTime();
  const std::string current = StampStartTime();
  TraceStartLine("[Debut] CurrentStartTime=%s, PreviousStartTime=%s", current, previous);
  CreateCounterLocks();
  TraceSink(
      "Windows API CriticalSection cr\xE9"
      "\xE9"
      "e");
}

void RunUnloadSequence() {
  DeleteCounterLocks();
  TraceSink(
      "Windows API CriticalSection lib\xE9"
      "r\xE9"
      "e");
  TraceStartLine("[Fin] CurrentStartTime=%s, PreviousStartTime=%s", CurrentStartTime(),
                 PreviousStartTime());
}

namespace testing {

void SetTraceObserver(TraceObserver observer) { g_observer.store(observer); }

void ResetStartTimes() {
  CurrentStamp().clear();
  PreviousStamp().clear();
}

}  // namespace testing

}  // namespace spool
