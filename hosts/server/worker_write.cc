// A worker's write answered once by a connection's strand; see
// worker_write.h for its states.
#include "hosts/server/worker_write.h"

namespace hosts {

bool WorkerWrite::Take() {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (state_ != State::kPosted) return false;
  state_ = State::kTaken;
  return true;
}

void WorkerWrite::Answer(bool sent) {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (state_ == State::kAnswered || state_ == State::kAbandoned) return;
    state_ = State::kAnswered;
    sent_ = sent;
  }
  changed_.notify_all();
}

bool WorkerWrite::Wait(std::chrono::steady_clock::duration bound) {
  std::unique_lock<std::mutex> lock(mutex_);
  const auto answered = [this] { return state_ == State::kAnswered; };
  if (!changed_.wait_for(lock, bound, [this] { return state_ != State::kPosted; }) &&
      state_ == State::kPosted) {
    state_ = State::kAbandoned;  // the strand will not touch the bytes
    return false;
  }
  changed_.wait(lock, answered);  // taken: bounded by the write deadline
  return sent_;
}

}  // namespace hosts
