// Files that are not plain files on POSIX: a named pipe where a file is
// expected is refused at once, never waited on.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "platform/directory.h"
#include "platform/file.h"
#include "tests/harness/pipe_watchdog.h"
#include "tests/harness/temp_dir.h"

namespace platform {
namespace {

TEST(FilePosixTest, RegressionNamedPipeIsRefusedWithoutWaiting) {
  harness::TempDir dir;
  const std::string fifo = dir.Path("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const harness::PipeWatchdog watchdog(dir.path());
  for (const OpenMode mode : {OpenMode::kRead, OpenMode::kWriteTruncate, OpenMode::kAppend}) {
    const File file = File::Open(fifo.c_str(), mode);
    EXPECT_FALSE(file.is_open());
    EXPECT_EQ(file.error().cause, FailureCause::kNotRegularFile)
        << DescribeSystemError(file.error());
  }
  EXPECT_TRUE(FileExists(fifo.c_str()));
  EXPECT_FALSE(watchdog.fired());
}

// The counters compare the id a listing gives a name with the id the name
// leads to: equal for a file nobody replaced, apart once another name has
// taken its place (as another client's rename does), nothing for a name that
// is not there.
TEST(DirectoryPosixTest, ListedFileIdFollowsTheFileANameHolds) {
  harness::TempDir dir;
  dir.WriteFile("counter", "1\r\n");
  const auto listed = ListedFileId(dir.path(), "counter");
  ASSERT_TRUE(listed.has_value());
  EXPECT_EQ(listed, FileIdOf(dir.Path("counter")));
  dir.WriteFile("counter.new", "2\r\n");
  ASSERT_EQ(::rename(dir.Path("counter.new").c_str(), dir.Path("counter").c_str()), 0);
  EXPECT_NE(ListedFileId(dir.path(), "counter"), listed);
  EXPECT_EQ(ListedFileId(dir.path(), "counter"), FileIdOf(dir.Path("counter")));
  EXPECT_FALSE(ListedFileId(dir.path(), "missing").has_value());
  EXPECT_FALSE(FileIdOf(dir.Path("missing")).has_value());
}

}  // namespace
}  // namespace platform
