// Tests of the worker pool: extra workers while all are busy, and their end
// once idle.
#include "hosts/server/worker_pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>

namespace hosts {
namespace {

TEST(WorkerPoolTest, ExtraWorkersStartWhileAllAreBusyAndEndWhenIdle) {
  std::string error;
  const std::unique_ptr<WorkerPool> started =
      WorkerPool::Start(1, 4, &error, std::chrono::milliseconds(100));
  ASSERT_NE(started, nullptr) << error;
  WorkerPool& pool = *started;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::atomic<int> ran{0};
  for (int i = 0; i < 4; ++i) {
    pool.Submit([&, released] {
      released.wait();
      ++ran;
    });
  }
  EXPECT_EQ(pool.threads(), 4u);  // one lasting, three extra
  release.set_value();
  // The extra workers end after 100 ms idle by the pool's own clock: the
  // test waits for that, bounded far above it, so a busy machine only makes
  // it wait longer.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while ((ran < 4 || pool.threads() > 1) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_EQ(ran, 4);
  EXPECT_EQ(pool.threads(), 1u);  // the extra ones have ended
  std::promise<void> again;
  pool.Submit([&] { again.set_value(); });
  EXPECT_EQ(again.get_future().wait_for(std::chrono::seconds(60)), std::future_status::ready);
}

}  // namespace
}  // namespace hosts
