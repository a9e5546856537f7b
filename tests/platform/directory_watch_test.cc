// Directory watches: a file written in a watched directory is reported by
// name with the number of its directory, and only once drained.
#include "platform/directory_watch.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "tests/harness/temp_dir.h"

namespace platform {
namespace {

using Reports = std::vector<std::pair<int, std::string>>;

Reports DrainAll(DirectoryWatch& watch) {
  Reports reports;
  EXPECT_TRUE(watch.Drain(
      [&](int number, const std::string& name) { reports.emplace_back(number, name); }));
  return reports;
}

TEST(DirectoryWatchTest, ReportsAFileWrittenInAWatchedDirectory) {
  harness::TempDir dir;
  dir.MakeDir("in");
  dir.MakeDir("other");
  DirectoryWatch watch;
  if (!watch.Open()) GTEST_SKIP() << "this system offers no directory watch";
  const int in = watch.Add(dir.Path("in"), DirectoryWatch::Changes::kWritten);
  const int other = watch.Add(dir.Path("other"), DirectoryWatch::Changes::kWritten);
  ASSERT_GE(in, 0);
  ASSERT_GE(other, 0);
  EXPECT_TRUE(DrainAll(watch).empty());
  // The report is queued when the writer closes the file, before WriteFile
  // returns: no waiting is needed.
  dir.WriteFile("in/7.req", "x");
  EXPECT_EQ(DrainAll(watch), (Reports{{in, "7.req"}}));
  EXPECT_TRUE(DrainAll(watch).empty());
  dir.WriteFile("other/1.rdy", "5");
  EXPECT_EQ(DrainAll(watch), (Reports{{other, "1.rdy"}}));
}

}  // namespace
}  // namespace platform
