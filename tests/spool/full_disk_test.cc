// A full disk while the counters and posted data are written: nothing is
// left half written and nothing already stored is lost. The disk is made
// full with the file size limit and /dev/full, so these tests exist on POSIX
// only.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>
#include <filesystem>
#include <functional>
#include <string>

#include "spool/counters.h"
#include "spool/posted_data.h"
#include "tests/harness/temp_dir.h"

namespace spool {
namespace {

// Runs `write` with no file allowed to grow past `max_bytes`, as on a disk
// that is full after that many bytes.
long WriteOnAFullDisk(rlim_t max_bytes, const std::function<long()>& write) {
  std::signal(SIGXFSZ, SIG_IGN);
  rlimit saved{};
  if (getrlimit(RLIMIT_FSIZE, &saved) != 0) ADD_FAILURE() << "getrlimit";
  rlimit full = saved;
  full.rlim_cur = max_bytes;
  if (setrlimit(RLIMIT_FSIZE, &full) != 0) ADD_FAILURE() << "setrlimit";
  const long result = write();
  if (setrlimit(RLIMIT_FSIZE, &saved) != 0) ADD_FAILURE() << "setrlimit back";
  return result;
}

// Restores the lock wait bound when a test ends.
class LockWaitBound {
 public:
  explicit LockWaitBound(int tries) { testing::SetLockWaitTries(tries); }
  ~LockWaitBound() { testing::SetLockWaitTries(0); }
};

// On a full disk the counter used to be truncated and then not written:
// numbering restarted at 1. The new value now goes into a temporary file
// that replaces the counter only once complete.
TEST(CounterFileTest, FullDiskKeepsTheOldValueAndLeavesNoTemporaryFile) {
  // The in lock cannot be written either, so it never reads back: its
  // waits end at the bound.
  const LockWaitBound bound(20);
  struct Case {
    const char* counter;
    long (*take)();
  };
  const Case cases[] = {
      {"dudarovuvadu.cnt.in.txt",
       [] { return TakeInTicket(ResolveRequestRoot(), "anna", "getlist", "", "", ""); }},
      {"dudarovuvadu.cnt.post.txt", [] { return TakePostNumber(ResolveRequestRoot()); }},
  };
  for (const Case& c : cases) {
    harness::SpoolRoot root;
    root.WriteFile(c.counter, "41\r\n");
    // No file may grow past 0 bytes.
    const long number = WriteOnAFullDisk(0, c.take);
    EXPECT_EQ(number, 42) << c.counter;
    EXPECT_EQ(root.ReadFile(c.counter), "41\r\n") << c.counter;
    for (const auto& entry : std::filesystem::directory_iterator(root.path())) {
      EXPECT_NE(entry.path().extension(), ".tmp") << entry.path();
    }
    // Once there is room again, numbering goes on from the kept value.
    EXPECT_EQ(c.take(), 42) << c.counter;
    EXPECT_EQ(root.ReadFile(c.counter), "42\r\n") << c.counter;
  }
}

// A store that fails on a full disk leaves nothing behind: no half data file,
// no ready file without its length, and the answer says nothing was stored.
TEST(StorePostedDataTest, FullDiskLeavesNeitherHalfDataNorAnEmptyReadyFile) {
  {
    // The data does not fit.
    harness::SpoolRoot root;
    const std::string data(5000, 'd');
    EXPECT_EQ(
        WriteOnAFullDisk(1000, [&] { return StorePostedData(ResolveRequestRoot(), data, 5000); }),
        0);
    EXPECT_FALSE(root.Exists("post/1.txt"));
    EXPECT_FALSE(root.Exists("post/1.rdy"));
  }
  {
    // The data fits, its length in the ready file does not.
    harness::SpoolRoot root;
    std::filesystem::create_symlink("/dev/full", root.Path("post/1.rdy"));
    // The length is written under a temporary name first.
    std::filesystem::create_symlink("/dev/full", root.Path("post/1.rdy.tmp"));
    EXPECT_EQ(StorePostedData(ResolveRequestRoot(), "abc", 3), 0);
    EXPECT_FALSE(root.Exists("post/1.txt"));
    EXPECT_FALSE(std::filesystem::is_symlink(root.Path("post/1.rdy")));
    // With room again the next store is whole.
    EXPECT_EQ(StorePostedData(ResolveRequestRoot(), "abc", 3), 3);
    EXPECT_EQ(root.ReadFile("post/2.txt"), "abc");
    EXPECT_EQ(root.ReadFile("post/2.rdy"), "3");
  }
}

}  // namespace
}  // namespace spool
