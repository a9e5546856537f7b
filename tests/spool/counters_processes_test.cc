// Many processes drawing in-ticket numbers from one root at once. They are
// started with fork, so these tests exist on POSIX only.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/file.h"
#include "platform/lock_file.h"
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
  constexpr int kEach = 25;
  harness::SharedRootProcesses processes(4);
  EXPECT_TRUE(processes.RunRecorded(kEach, [](int p, int i) {
    return std::to_string(TakeInTicket(ResolveRequestRoot(), "proc" + std::to_string(p), "getlist",
                                       "", std::to_string(i), ""));
  }));
  std::multiset<long> drawn;
  for (int p = 0; p < processes.count(); ++p) {
    const std::vector<std::string> numbers = processes.Record(p);
    for (const std::string& number : numbers) drawn.insert(std::stol(number));
    EXPECT_EQ(numbers.size(), static_cast<std::size_t>(kEach));
  }
  const std::set<long> distinct(drawn.begin(), drawn.end());
  ASSERT_FALSE(distinct.empty());
  EXPECT_EQ(*distinct.begin(), 1);
  EXPECT_EQ(static_cast<std::size_t>(*distinct.rbegin()), distinct.size());
  EXPECT_EQ(distinct.size(), drawn.size());
  EXPECT_FALSE(processes.root().Exists("dudarovuvadu.cnt.in.lock"));
  std::printf("%zu numbers drawn by %d processes, %zu distinct\n", drawn.size(), processes.count(),
              distinct.size());
}

// A holder killed inside the lock (SIGKILL: nothing of its own runs) leaves
// its lock file behind, but the system has released its advisory lock: the
// next request takes the lock over at once, without one try of waiting (it
// waited out ten seconds of tries before).
int g_parked_pipe = -1;

void ParkInsideTheLock(testing::LockStep step, int /*tries*/) {
  if (step != testing::LockStep::kInsideInLock) return;
  const char parked = 'p';
  if (::write(g_parked_pipe, &parked, 1) != 1) ::_exit(3);
  for (;;) ::pause();
}

TEST(CounterLockTest, RegressionAHolderKilledInsideTheLockCostsTheOthersNoWait) {
  harness::SpoolRoot root;
  int parked[2];
  ASSERT_EQ(::pipe(parked), 0);
  harness::ChildProcess holder;
  ASSERT_TRUE(holder.Fork([&] {
    g_parked_pipe = parked[1];
    spool::testing::SetLockStepHook(&ParkInsideTheLock);
    (void)TakeInTicket(ResolveRequestRoot(), "holder", "getlist", "", "", "");
    return 2;
  }));
  ::close(parked[1]);
  char byte = 0;
  const bool inside = ::read(parked[0], &byte, 1) == 1;
  ::close(parked[0]);
  ASSERT_TRUE(inside) << "the holder never reached the inside of the lock";
  ASSERT_TRUE(root.Exists("dudarovuvadu.cnt.in.lock"));
  ASSERT_TRUE(holder.Signal(SIGKILL));
  ASSERT_TRUE(holder.WaitForExit(std::chrono::minutes(1)).has_value());

  EXPECT_EQ(TakeInTicket(ResolveRequestRoot(), "anna", "getlist", "", "", ""), 1);
  EXPECT_EQ(spool::testing::LastLockWaitTries(), 0);
  EXPECT_FALSE(root.Exists("dudarovuvadu.cnt.in.lock"));
}

// Where the file system has no advisory locks, a lock that keeps changing
// hands has live holders: it is waited for as long as that goes on. Only a
// lock that stays the same file for the whole bound is taken to be stale.
// (On a shared file system, where front ends queue for the lock, a request
// that had waited its bound took a live lock over, and two processes handed
// out the same numbers.) The other holders act at the waiter's tries: a new
// file under the lock's name every 5 tries, 80 times, then none.
struct ChangingHolders {
  static inline harness::SpoolRoot* root = nullptr;
  static inline std::atomic<bool> released{false};
  static inline int waits = 0;  // on the waiter's thread only
  static void AtStep(testing::LockStep step, int /*tries*/) {
    if (step != testing::LockStep::kWaitTry) return;
    const int wait = ++waits;
    const std::string lock = root->Path("dudarovuvadu.cnt.in.lock");
    if (wait > 400 || wait % 5 != 0) return;
    if (wait == 400) {
      released = true;
      (void)platform::RemoveFile(lock.c_str());
      return;
    }
    root->WriteFile("next.lock", "logon=other" + std::to_string(wait) + "&command=x&p2=&p3=\r\n");
    (void)platform::ReplaceFile(root->Path("next.lock"), lock);
  }
};

TEST(CounterConcurrencyTest, RegressionALockChangingHandsIsNotTakenOver) {
  harness::SpoolRoot root;
  spool::testing::SetLockWaitTries(50);
  platform::testing::RefuseAdvisoryLocks(true);
  ChangingHolders::root = &root;
  ChangingHolders::waits = 0;
  ChangingHolders::released = false;
  spool::testing::SetLockStepHook(&ChangingHolders::AtStep);
  root.WriteFile("dudarovuvadu.cnt.in.lock", "logon=first&command=x&p2=&p3=\r\n");
  const long ticket = TakeInTicket(ResolveRequestRoot(), "anna", "getlist", "", "", "");
  const bool waited_for_release = ChangingHolders::released.load();
  spool::testing::SetLockStepHook(nullptr);
  platform::testing::RefuseAdvisoryLocks(false);
  spool::testing::SetLockWaitTries(0);
  EXPECT_EQ(ticket, 1);
  EXPECT_TRUE(waited_for_release);
}

}  // namespace
}  // namespace spool
