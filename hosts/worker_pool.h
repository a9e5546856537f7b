// Threads that run jobs in the order given. The extension blocks (file work,
// short sleeps, a wait on a lock another process holds), so it runs here and
// never on the network threads. `threads` are started at once; while every
// one of them is busy and jobs wait, more are started, up to `max_threads`,
// so that requests stuck behind a lock do not hold up those that are not.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace hosts {

class WorkerPool {
 public:
  explicit WorkerPool(unsigned threads, unsigned max_threads = 0);
  // Runs the jobs already queued, then joins the threads.
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  void Submit(std::function<void()> job);
  // Jobs queued or running.
  std::size_t pending() const;

 private:
  void Work();

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> jobs_;
  std::size_t running_ = 0;
  std::size_t waiting_ = 0;  // threads idle in Work()
  std::size_t max_threads_ = 0;
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace hosts
