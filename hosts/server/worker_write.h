// A worker's write that waits on a connection's strand, answered once. The
// strand takes the bytes (Take), then answers when they have left or cannot
// (Answer). A Drop guard answers false when the task or the callback that
// holds it is destroyed without answering: the server stopped, or the task
// threw. The worker stops waiting at its bound while the strand has not
// taken the bytes, and the strand then never touches them; once they are
// taken, the connection's write deadline bounds the wait.
#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

namespace hosts {

class WorkerWrite {
 public:
  // Its states: posted -> taken -> answered, or posted -> answered (dropped
  // before it ran, or the client is gone), or posted -> abandoned (the
  // worker's bound passed first).
  enum class State { kPosted, kTaken, kAnswered, kAbandoned };

  // On the strand: whether the bytes may still be used (the worker waits).
  [[nodiscard]] bool Take();
  // The first answer counts; later ones are ignored.
  void Answer(bool sent);
  // The worker: the answer, or false when the strand had not taken the
  // bytes within `bound`.
  [[nodiscard]] bool Wait(std::chrono::steady_clock::duration bound);

  // Answers false when the last copy of what holds it goes unanswered.
  class Drop {
   public:
    explicit Drop(std::shared_ptr<WorkerWrite> write) : write_(std::move(write)) {}
    ~Drop() { write_->Answer(false); }
    Drop(const Drop&) = delete;
    Drop& operator=(const Drop&) = delete;

   private:
    std::shared_ptr<WorkerWrite> write_;
  };

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  State state_ = State::kPosted;
  bool sent_ = false;
};

}  // namespace hosts
