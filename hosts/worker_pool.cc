// Worker threads fed from one queue.
#include "hosts/worker_pool.h"

namespace hosts {

WorkerPool::WorkerPool(unsigned threads, unsigned max_threads) {
  if (threads == 0) threads = 1;
  max_threads_ = max_threads < threads ? threads : max_threads;
  std::lock_guard<std::mutex> lock(mutex_);
  threads_.reserve(max_threads_);
  for (unsigned i = 0; i < threads; ++i) threads_.emplace_back([this] { Work(); });
}

WorkerPool::~WorkerPool() {
  std::vector<std::thread> threads;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    // No Submit() runs any more, so the list is complete.
    threads.swap(threads_);
  }
  wake_.notify_all();
  for (std::thread& thread : threads) thread.join();
}

void WorkerPool::Submit(std::function<void()> job) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    jobs_.push_back(std::move(job));
    if (jobs_.size() > waiting_ && threads_.size() < max_threads_) {
      threads_.emplace_back([this] { Work(); });
    }
  }
  wake_.notify_one();
}

std::size_t WorkerPool::pending() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return jobs_.size() + running_;
}

void WorkerPool::Work() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    // Waits without a bound by design: an idle worker has nothing to time out;
    // the destructor wakes every worker.
    ++waiting_;
    wake_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
    --waiting_;
    if (jobs_.empty()) return;  // stopping, and nothing left to run
    std::function<void()> job = std::move(jobs_.front());
    jobs_.pop_front();
    ++running_;
    lock.unlock();
    job();
    lock.lock();
    --running_;
  }
}

}  // namespace hosts
