// A worker's write waiting on a connection's strand always gets an answer.
#include "hosts/server/worker_write.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>

namespace hosts {
namespace {

using std::chrono::seconds;

// The task the strand drops without running (a stopped server) answers the
// worker false instead of leaving it waiting.
TEST(WorkerWriteTest, ATaskDroppedWithoutRunningAnswersFalse) {
  auto write = std::make_shared<WorkerWrite>();
  {
    std::function<void()> task = [write, drop = std::make_shared<WorkerWrite::Drop>(write)] {
      (void)write->Take();
    };
  }
  EXPECT_FALSE(write->Wait(seconds(3600)));
}

// A callback that throws after taking the bytes, and is dropped, answers
// false too.
TEST(WorkerWriteTest, ATakenWriteWhoseCallbackIsDroppedAnswersFalse) {
  auto write = std::make_shared<WorkerWrite>();
  {
    const auto drop = std::make_shared<WorkerWrite::Drop>(write);
    ASSERT_TRUE(write->Take());
  }
  EXPECT_FALSE(write->Wait(seconds(3600)));
}

// Past its bound a worker stops waiting for a strand that never took the
// bytes, and the strand, running late, leaves them alone.
TEST(WorkerWriteTest, AWriteNotTakenWithinTheBoundIsAbandoned) {
  WorkerWrite write;
  EXPECT_FALSE(write.Wait(seconds(0)));
  EXPECT_FALSE(write.Take());
}

TEST(WorkerWriteTest, TheFirstAnswerCounts) {
  auto write = std::make_shared<WorkerWrite>();
  {
    const auto drop = std::make_shared<WorkerWrite::Drop>(write);
    ASSERT_TRUE(write->Take());
    write->Answer(true);
  }
  EXPECT_TRUE(write->Wait(seconds(3600)));
}

}  // namespace
}  // namespace hosts
