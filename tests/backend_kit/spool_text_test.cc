// Spool text translation and whole-file writes.

#include "backend_kit/spool_text.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>

namespace backend_kit {
namespace {

TEST(SpoolTextTest, TranslatesLineEndsLikeTheModule) {
  const struct {
    std::string text, stored;
  } cases[] = {
      {"a\nb\n", "a\r\nb\r\n"},
      {"a\rb", "a\rb"},      // a lone CR stays
      {"a\r\n", "a\r\r\n"},  // a written CR LF comes back as CR LF
      {"", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ToSpoolText(c.text), c.stored);
    EXPECT_EQ(FromSpoolText(c.stored), c.text);
  }
}

TEST(SpoolTextTest, SplitLines) {
  EXPECT_EQ(SplitLines("a\nb\n"), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(SplitLines("a\n\nb"), (std::vector<std::string>{"a", "", "b"}));
  EXPECT_TRUE(SplitLines("").empty());
}

TEST(SpoolTextTest, AtomicWriteReplacesWholeAndLeavesNoTemporary) {
  char pattern[] = "/tmp/spool_text_test.XXXXXX";
  ASSERT_NE(::mkdtemp(pattern), nullptr);
  const std::string dir = pattern;
  const std::string path = dir + "/1.htm";
  ASSERT_TRUE(WriteFileAtomically(path, "old"));
  ASSERT_TRUE(WriteFileAtomically(path, "new\r\n"));
  EXPECT_EQ(ReadFileBytes(path), "new\r\n");
  EXPECT_FALSE(std::filesystem::exists(path + ".new"));
  // A target that cannot be replaced (a directory) fails and cleans up.
  std::filesystem::create_directory(dir + "/2.htm");
  EXPECT_FALSE(WriteFileAtomically(dir + "/2.htm", "x"));
  EXPECT_FALSE(std::filesystem::exists(dir + "/2.htm.new"));
  EXPECT_FALSE(WriteFileAtomically(dir + "/missing/3.htm", "x"));
  // No temporary file stays, under whatever name.
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"1.htm", "2.htm"}));
  std::filesystem::remove_all(dir);
}

// Two writers of one file (instances on several machines replacing the same
// rights list) once shared the temporary name "<file>.new": one could
// rename the other's half-written file into place. Each write now has a
// temporary file of its own.
TEST(SpoolTextTest, RegressionAWriteNeverTakesAnotherWritersTemporaryFile) {
  char pattern[] = "/tmp/spool_text_test.XXXXXX";
  ASSERT_NE(::mkdtemp(pattern), nullptr);
  const std::string dir = pattern;
  // Another writer's temporary file, half written, under the old shared name.
  ASSERT_TRUE(WriteFile(dir + "/~anna.lst.new", "/docs/a"));
  ASSERT_TRUE(WriteFileAtomically(dir + "/~anna.lst", "/docs/b\r\n"));
  EXPECT_EQ(ReadFileBytes(dir + "/~anna.lst"), "/docs/b\r\n");
  EXPECT_EQ(ReadFileBytes(dir + "/~anna.lst.new"), "/docs/a");
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace backend_kit
