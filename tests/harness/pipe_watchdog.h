// For tests that put named pipes where the module expects files: should the
// module wait on one, the watchdog opens the other end of every pipe under
// its directory after a while, so the test fails instead of hanging. POSIX
// only.
#pragma once

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace harness {

class PipeWatchdog {
 public:
  explicit PipeWatchdog(std::string directory, int seconds = 10);
  ~PipeWatchdog();
  PipeWatchdog(const PipeWatchdog&) = delete;
  PipeWatchdog& operator=(const PipeWatchdog&) = delete;

  // True once the watchdog had to release a pipe: something waited on it.
  bool fired() const;

 private:
  std::string directory_;
  mutable std::mutex mutex_;
  std::condition_variable done_changed_;
  bool done_ = false;
  bool fired_ = false;
  std::vector<int> descriptors_;
  std::thread thread_;
};

}  // namespace harness
