// Lock files: one holder of the advisory lock at a time, even in one
// process; the content readable beside the lock; the name removed before
// the lock is released.
#include "platform/lock_file.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/harness/temp_dir.h"

namespace platform {
namespace {

TEST(LockFileTest, OneHolderAtATimeAndTheNameGoesFirst) {
  harness::TempDir dir;
  const std::string path = dir.Path("x.lock");
  LockFile holder = LockFile::Create(path);
  ASSERT_EQ(holder.state(), LockFileState::kHeld);
  ASSERT_TRUE(holder.Rewrite("who\r\n"));
  EXPECT_EQ(dir.ReadFile("x.lock"), "who\r\n");  // the lock stands in no reader's way

  const LockFile second = LockFile::Create(path);
  EXPECT_EQ(second.state(), LockFileState::kClosed);
  EXPECT_EQ(second.error().cause, FailureCause::kExists);
  LockFile waiter = LockFile::Open(path);
  EXPECT_EQ(waiter.state(), LockFileState::kHeldElsewhere);
  EXPECT_TRUE(holder.NamedBy(path, true));

  EXPECT_TRUE(holder.RemoveAndClose(path));
  // On Windows the name goes once the waiter's handle is closed too.
  waiter.Close();
  EXPECT_FALSE(dir.Exists("x.lock"));
  LockFile late = LockFile::Create(path);
  EXPECT_EQ(late.state(), LockFileState::kHeld);
}

TEST(LockFileTest, AFreedLockIsTakenByTheNextAndRefusalIsSaid) {
  harness::TempDir dir;
  const std::string path = dir.Path("x.lock");
  {
    LockFile dead = LockFile::Create(path);
    ASSERT_EQ(dead.state(), LockFileState::kHeld);
  }  // closed: as a holder that died, its file left behind
  LockFile next = LockFile::Open(path);
  EXPECT_EQ(next.state(), LockFileState::kHeld);
  EXPECT_TRUE(next.NamedBy(path, false));
  next.Close();

  testing::RefuseAdvisoryLocks(true);
  const LockFile refused = LockFile::Open(path);
  testing::RefuseAdvisoryLocks(false);
  EXPECT_EQ(refused.state(), LockFileState::kUnlockable);
  EXPECT_EQ(refused.error().cause, FailureCause::kInjected);
}

}  // namespace
}  // namespace platform
