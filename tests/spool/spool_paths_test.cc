// Tests of spool/spool_paths.cc: spool file names, and paths that would not
// fit their buffer are not formed.
#include "spool/spool_paths.h"

#include <gtest/gtest.h>

#include <string>

#include "spool/install_root.h"
#include "tests/harness/temp_dir.h"

namespace spool {
namespace {

TEST(SpoolPathTest, JoinsRootDirectoryAndName) {
  using harness::NativePath;
  const std::string root = NativePath("/srv/q");
  EXPECT_EQ(SpoolPath(root, "in", "42.req"), NativePath("/srv/q/in/42.req"));
  EXPECT_EQ(SpoolPath(root, "", "dudarovuvadu.cnt.in.txt"),
            NativePath("/srv/q/dudarovuvadu.cnt.in.txt"));
  // An empty root still gets its separator: every path begins with it.
  EXPECT_EQ(SpoolPath("", "out", "wait.tmp"), NativePath("/out/wait.tmp"));
  EXPECT_EQ(RightsListPath(NativePath("/r"), "anna"), NativePath("/r/rights/~anna.lst"));
  EXPECT_EQ(EventFilePath(NativePath("/r"), "anna"), NativePath("/r/events/anna.evt"));
}

TEST(SpoolPathTest, PathsLongerThanTheirBufferAreNotFormed) {
  // "/in/1.req" is 9 characters: a root of 246 gives exactly 255.
  const std::string fits(246, 'r');
  ASSERT_TRUE(SpoolPath(fits, "in", "1.req"));
  EXPECT_EQ(SpoolPath(fits, "in", "1.req")->size(), 255u);
  EXPECT_FALSE(SpoolPath(fits + "r", "in", "1.req"));
  // Counter and lock paths have 1023 characters.
  // "/dudarovuvadu.cnt.in.lock" is 25 characters: a root of 998 gives 1023.
  const std::string long_root(998, 'r');
  EXPECT_FALSE(SpoolPath(long_root, "", "dudarovuvadu.cnt.in.lock"));
  EXPECT_EQ(SpoolPath(long_root, "", "dudarovuvadu.cnt.in.lock", kCounterPathCapacity)->size(),
            1023u);
  EXPECT_FALSE(SpoolPath(long_root + "r", "", "dudarovuvadu.cnt.in.lock", kCounterPathCapacity));
  EXPECT_FALSE(RightsListPath("/r", std::string(300, 'a')));
  EXPECT_FALSE(EventFilePath("/r", std::string(300, 'a')));
  EXPECT_FALSE(SpoolPath("/r", "in", "x", 0));
}

}  // namespace
}  // namespace spool
