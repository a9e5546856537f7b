// What a file is on every system: how it moves, how a failed open is
// recorded, which opens are binary and which text, and the open failure a
// test injects. The system calls themselves are in posix/ and win32/.
#include <atomic>
#include <utility>

#include "platform/environment.h"
#include "platform/failure_injection.h"
#include "platform/file.h"
#include "platform/system_error.h"

namespace platform {

namespace {

std::atomic<int> g_fail_open_countdown{0};

}  // namespace

bool InjectedFileFailure() {
  int remaining = g_fail_open_countdown.load();
  while (remaining > 0) {
    if (g_fail_open_countdown.compare_exchange_weak(remaining, remaining - 1)) {
      return remaining == 1;
    }
  }
  return false;
}

namespace testing {

void FailNthFileOpen(int nth) { g_fail_open_countdown.store(nth > 0 ? nth : 0); }

}  // namespace testing

File::File(File&& other) noexcept
    : descriptor_(std::exchange(other.descriptor_, -1)),
      met_end_(other.met_end_),
      size_at_open_(other.size_at_open_),
      error_(other.error_),
      path_(std::move(other.path_)) {}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    (void)Close();
    descriptor_ = std::exchange(other.descriptor_, -1);
    met_end_ = other.met_end_;
    size_at_open_ = other.size_at_open_;
    error_ = other.error_;
    path_ = std::move(other.path_);
  }
  return *this;
}

File File::Failed(const SystemError& error, const char* path) {
  File file;
  file.error_ = error;
  TraceFailure(error, path);
  return file;
}

File File::Open(const char* path, OpenMode mode) { return OpenAs(path, mode, false); }

File File::OpenText(const char* path, OpenMode mode) { return OpenAs(path, mode, true); }

bool SpoolDeclaredShared() { return EnvironmentSwitchOn(kSharedSpoolVariable); }

}  // namespace platform
