// Many processes drawing in-ticket numbers from one root at once. They are
// started with fork, so these tests exist on POSIX only.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/file.h"
#include "spool/counters.h"
#include "tests/harness/child_process.h"
#include "tests/harness/temp_dir.h"

namespace spool {
namespace {

// Processes that share the root are kept apart only by the lock file. Taken
// by exclusive creation, it lets one process at a time advance the counter:
// no number is drawn twice, none is skipped, and no lock is left behind
// (a lock tested and then written let two processes hold it at once).
TEST(CounterConcurrencyTest, ProcessesDrawEveryNumberOnceAndLeaveNoLock) {
  harness::SpoolRoot root;
  constexpr int kProcesses = 4;
  constexpr int kEach = 25;
  EXPECT_TRUE(harness::RunInForks(kProcesses, [&root](int p) {
    std::FILE* out = std::fopen(root.Path("drawn" + std::to_string(p)).c_str(), "w");
    for (int i = 0; i < kEach && out != nullptr; ++i) {
      std::fprintf(out, "%ld\n",
                   TakeInTicket(ResolveRequestRoot(), "proc" + std::to_string(p), "getlist", "",
                                std::to_string(i), ""));
    }
    if (out != nullptr) std::fclose(out);
    return out != nullptr ? 0 : 1;
  }));
  std::multiset<long> drawn;
  for (int p = 0; p < kProcesses; ++p) {
    std::ifstream in(root.Path("drawn" + std::to_string(p)));
    long number = 0;
    int count = 0;
    while (in >> number) {
      drawn.insert(number);
      ++count;
    }
    EXPECT_EQ(count, kEach);
  }
  const std::set<long> distinct(drawn.begin(), drawn.end());
  ASSERT_FALSE(distinct.empty());
  EXPECT_EQ(*distinct.begin(), 1);
  EXPECT_EQ(static_cast<std::size_t>(*distinct.rbegin()), distinct.size());
  EXPECT_EQ(distinct.size(), drawn.size());
  EXPECT_FALSE(root.Exists("dudarovuvadu.cnt.in.lock"));
  std::printf("%zu numbers drawn by %d processes, %zu distinct\n", drawn.size(), kProcesses,
              distinct.size());
}

// A lock that keeps changing hands has live holders: it is waited for as
// long as that goes on. Only a lock that stays the same file for the whole
// bound is taken to be stale. (On a shared file system, where front ends
// queue for the lock, a request that had waited its bound took a live lock
// over, and two processes handed out the same numbers.)
TEST(CounterConcurrencyTest, RegressionALockChangingHandsIsNotTakenOver) {
  harness::SpoolRoot root;
  spool::testing::SetLockWaitTries(50);
  const std::string lock = root.Path("dudarovuvadu.cnt.in.lock");
  root.WriteFile("dudarovuvadu.cnt.in.lock", "logon=first&command=x&p2=&p3=\r\n");
  std::atomic<bool> released{false};
  std::thread holders([&] {
    // Another file under the lock's name every 5 ms, for 400 ms, then free.
    for (int i = 0; i < 80; ++i) {
      root.WriteFile("next.lock", "logon=other" + std::to_string(i) + "&command=x&p2=&p3=\r\n");
      (void)platform::ReplaceFile(root.Path("next.lock"), lock);
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    released = true;
    (void)platform::RemoveFile(lock.c_str());
  });
  const long ticket = TakeInTicket(ResolveRequestRoot(), "anna", "getlist", "", "", "");
  const bool waited_for_release = released.load();
  holders.join();
  spool::testing::SetLockWaitTries(0);
  EXPECT_EQ(ticket, 1);
  EXPECT_TRUE(waited_for_release);
}

}  // namespace
}  // namespace spool
