// Files that are not plain files on POSIX: a named pipe where a file is
// expected is refused at once, never waited on.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

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

}  // namespace
}  // namespace platform
