// A fixed set of threads that run jobs in the order given. The extension
// blocks (file work, short sleeps), so it runs here and never on the
// network threads of the HTTP library.
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
  explicit WorkerPool(unsigned threads);
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
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace hosts
