// Worker threads fed from one queue.
#include "hosts/server/worker_pool.h"

#include <string>
#include <system_error>

namespace hosts {

std::unique_ptr<WorkerPool> WorkerPool::Start(unsigned threads, unsigned max_threads,
                                              std::string* error,
                                              std::chrono::milliseconds idle_time) {
  if (threads == 0) threads = 1;
  std::unique_ptr<WorkerPool> pool(
      new WorkerPool(max_threads < threads ? threads : max_threads, idle_time));
  std::lock_guard<std::mutex> lock(pool->mutex_);
  pool->lasting_.reserve(threads);
  WorkerPool* const running = pool.get();
  try {
    for (unsigned i = 0; i < threads; ++i) {
      pool->lasting_.emplace_back([running] { running->Work(false); });
    }
  } catch (const std::system_error& failure) {
    // Fewer workers than asked for lose nothing: the jobs wait for those
    // that run, and Submit starts more while all are busy.
    if (pool->lasting_.empty()) {
      // Not one worker: nothing could ever run.
      *error = std::string("cannot start the workers: ") + failure.what();
      return nullptr;
    }
  }
  return pool;
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
