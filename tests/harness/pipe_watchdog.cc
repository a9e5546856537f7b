// The pipe watchdog: after its time it opens both ends of every pipe under
// its directory without blocking, which lets an open waiting on the other end go on, and keeps them
// open until the test ends.
#include "tests/harness/pipe_watchdog.h"

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <system_error>
#include <utility>

namespace harness {

PipeWatchdog::PipeWatchdog(std::string directory, int seconds)
    : directory_(std::move(directory)), thread_([this, seconds] {
        std::unique_lock<std::mutex> lock(mutex_);
        if (done_changed_.wait_for(lock, std::chrono::seconds(seconds), [this] { return done_; })) {
          return;
        }
        fired_ = true;
        std::error_code error;
        for (std::filesystem::recursive_directory_iterator it(directory_, error), end;
             !error && it != end; it.increment(error)) {
          if (!it->is_fifo(error)) continue;
          // The reading end first: a writer's open needs it.
          for (const int flags : {O_RDONLY, O_WRONLY}) {
            const int descriptor = open(it->path().c_str(), flags | O_NONBLOCK | O_CLOEXEC);
            if (descriptor >= 0) descriptors_.push_back(descriptor);
          }
        }
      }) {}

PipeWatchdog::~PipeWatchdog() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    done_ = true;
  }
  done_changed_.notify_all();
  thread_.join();
  for (const int descriptor : descriptors_) close(descriptor);
}

bool PipeWatchdog::fired() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return fired_;
}

}  // namespace harness
