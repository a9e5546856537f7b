// Worker threads fed from one queue.
#include "hosts/server/worker_pool.h"

#include <system_error>

namespace hosts {

WorkerPool::WorkerPool(unsigned threads, unsigned max_threads, std::chrono::milliseconds idle_time)
    : idle_time_(idle_time) {
  if (threads == 0) threads = 1;
  max_threads_ = max_threads < threads ? threads : max_threads;
  std::lock_guard<std::mutex> lock(mutex_);
  lasting_.reserve(threads);
  try {
    for (unsigned i = 0; i < threads; ++i) lasting_.emplace_back([this] { Work(false); });
  } catch (const std::system_error&) {
    if (lasting_.empty()) throw;  // not one worker: nothing could ever run
  }
}

WorkerPool::~WorkerPool() {
  std::vector<std::thread> lasting;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    // No Submit() runs any more, so the list is complete.
    lasting.swap(lasting_);
  }
  wake_.notify_all();
  for (std::thread& thread : lasting) thread.join();
  std::unique_lock<std::mutex> lock(mutex_);
  extra_ended_.wait(lock, [this] { return extra_ == 0; });
}

void WorkerPool::Submit(std::function<void()> job) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    jobs_.push_back(std::move(job));
    if (jobs_.size() > waiting_ && lasting_.size() + extra_ < max_threads_) {
      try {
        std::thread([this] { Work(true); }).detach();
        ++extra_;
      } catch (const std::system_error&) {
        // No thread to be had now: the job waits for one that is there.
      }
    }
  }
  wake_.notify_one();
}

std::size_t WorkerPool::threads() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lasting_.size() + extra_;
}

void WorkerPool::Work(bool extra) {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    // A lasting worker waits without a bound by design: an idle one has
    // nothing to time out, and the destructor wakes every worker. An extra
    // one ends when it has waited idle_time for nothing.
    ++waiting_;
    const auto ready = [this] { return stopping_ || !jobs_.empty(); };
    const bool woken =
        extra ? wake_.wait_for(lock, idle_time_, ready) : (wake_.wait(lock, ready), true);
    --waiting_;
    if (!woken || jobs_.empty()) break;  // idle too long, or stopping with nothing left
    std::function<void()> job = std::move(jobs_.front());
    jobs_.pop_front();
    lock.unlock();
    job();
    lock.lock();
  }
  if (extra) {
    --extra_;
    // Notified under the lock: the destructor cannot finish before this
    // thread has let go of the pool.
    extra_ended_.notify_all();
  }
}

}  // namespace hosts
