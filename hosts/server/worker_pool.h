// Threads that run jobs in the order given. The extension may block (file
// work, short sleeps, a wait on a lock another process holds), so it runs
// here whenever a network thread cannot be spared for it (see
// ServerContext::TryInline). `threads` are started at once and stay;
// while every one of them is busy and jobs wait, more are started, up to
// `max_threads`, so that requests stuck behind a lock do not hold up those
// that are not. Such an extra worker ends once it has been idle for
// `idle_time`.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace hosts {

class WorkerPool {
 public:
  // Starts the pool; null, with the system's reason in *error, when not one
  // of its `threads` can start.
  static std::unique_ptr<WorkerPool> Start(
      unsigned threads, unsigned max_threads, std::string* error,
      std::chrono::milliseconds idle_time = std::chrono::seconds(30));
  // Runs the jobs already queued, then ends every thread.
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  // Queues a job. When no more threads can be started (the system refuses
  // one), it waits for a worker that is there.
  void Submit(std::function<void()> job);
  // Threads now running, the lasting ones and the extra ones.
  std::size_t threads() const;

 private:
  WorkerPool(unsigned max_threads, std::chrono::milliseconds idle_time)
      : idle_time_(idle_time), max_threads_(max_threads) {}
  // `extra`: the thread ends after idle_time without a job.
  void Work(bool extra);

  const std::chrono::milliseconds idle_time_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable extra_ended_;
  std::deque<std::function<void()>> jobs_;
  std::size_t waiting_ = 0;  // threads idle in Work()
  std::size_t extra_ = 0;    // extra threads alive (detached)
  std::size_t max_threads_ = 0;
  bool stopping_ = false;
  std::vector<std::thread> lasting_;
};

}  // namespace hosts
