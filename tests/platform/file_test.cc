// Files: reads at an offset beside the position that Read and Seek use,
// reads that stop at the end of the file as it is at that moment, the cause
// a failed open keeps, and existence asked without opening.
#include "platform/file.h"
#include "platform/directory.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/harness/temp_dir.h"

namespace platform {
namespace {

std::string ReadAtText(File& file, std::size_t count, std::int64_t offset) {
  std::string bytes(count, '\0');
  bytes.resize(file.ReadAt(bytes.data(), count, offset));
  return bytes;
}

std::string ReadText(File& file, std::size_t count) {
  std::string bytes(count, '\0');
  bytes.resize(file.Read(bytes.data(), count));
  return bytes;
}

TEST(FileTest, ReadAtGivesThePartAskedForAndStopsAtTheEnd) {
  harness::TempDir dir;
  dir.WriteFile("f", std::string("0123\r\n\0\x1A"
                                 "89",
                                 10));
  File file = File::Open(dir.Path("f").c_str(), OpenMode::kRead);
  ASSERT_TRUE(file.is_open());
  struct Case {
    std::int64_t offset;
    std::size_t count;
    std::string bytes;
  };
  const Case cases[] = {
      {0, 4, "0123"}, {4, 4, std::string("\r\n\0\x1A", 4)},
      {8, 5, "89"},   {10, 3, ""},
      {99, 3, ""},    {-1, 3, ""},
      {2, 0, ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ReadAtText(file, c.count, c.offset), c.bytes) << c.offset << "+" << c.count;
  }
}

TEST(FileTest, ReadAtLeavesThePositionOfReadAndSeek) {
  harness::TempDir dir;
  dir.WriteFile("f", "abcdefghij");
  File file = File::Open(dir.Path("f").c_str(), OpenMode::kRead);
  ASSERT_TRUE(file.is_open());
  EXPECT_EQ(ReadText(file, 2), "ab");
  EXPECT_EQ(ReadAtText(file, 3, 6), "ghi");
  EXPECT_EQ(ReadText(file, 2), "cd");
  ASSERT_TRUE(file.Seek(8));
  EXPECT_EQ(ReadAtText(file, 2, 0), "ab");
  EXPECT_EQ(file.Size(), 10);
  EXPECT_EQ(ReadText(file, 5), "ij");
  EXPECT_EQ(ReadText(file, 5), "");
}

TEST(FileTest, ReadSeesBytesAppendedAfterItMetTheEnd) {
  // Every Read asks the file as it is now: an end met once is not remembered.
  harness::TempDir dir;
  dir.WriteFile("f", "abc");
  File file = File::Open(dir.Path("f").c_str(), OpenMode::kRead);
  ASSERT_TRUE(file.is_open());
  EXPECT_EQ(ReadText(file, 10), "abc");
  File writer = File::Open(dir.Path("f").c_str(), OpenMode::kAppend);
  ASSERT_TRUE(writer.Write("de", 2) && writer.Close());
  EXPECT_EQ(ReadText(file, 10), "de");
  EXPECT_EQ(ReadText(file, 10), "");
}

// A failed open says why, in the terms callers tell apart; only plain files
// open. (A directory cannot be opened at all on Windows: denied there.)
TEST(FileTest, FailedOpenKeepsItsCause) {
  harness::TempDir dir;
  dir.WriteFile("f", "x");
  dir.MakeDir("d");
  struct Case {
    const char* name;
    OpenMode mode;
    std::vector<FailureCause> allowed;
  };
  const Case cases[] = {
      {"missing", OpenMode::kRead, {FailureCause::kNotFound}},
      {"no/such/dir/f", OpenMode::kWriteTruncate, {FailureCause::kNotFound}},
      {"f", OpenMode::kCreateExclusive, {FailureCause::kExists}},
      {"d", OpenMode::kRead, {FailureCause::kNotRegularFile, FailureCause::kDenied}},
      {"d", OpenMode::kAppend, {FailureCause::kNotRegularFile, FailureCause::kDenied}},
  };
  for (const Case& c : cases) {
    const File file = File::Open(dir.Path(c.name).c_str(), c.mode);
    EXPECT_FALSE(file.is_open()) << c.name;
    EXPECT_TRUE(file.error().failed()) << c.name;
    EXPECT_NE(std::find(c.allowed.begin(), c.allowed.end(), file.error().cause), c.allowed.end())
        << c.name << ": " << DescribeSystemError(file.error());
  }
  const File opened = File::Open(dir.Path("f").c_str(), OpenMode::kRead);
  EXPECT_TRUE(opened.is_open());
  EXPECT_FALSE(opened.error().failed());
  testing::FailNthFileOpen(1);
  const File injected = File::Open(dir.Path("f").c_str(), OpenMode::kRead);
  EXPECT_FALSE(injected.is_open());
  EXPECT_EQ(injected.error().cause, FailureCause::kInjected);
}

TEST(FileTest, FileExistsForAnythingButADirectory) {
  harness::TempDir dir;
  dir.WriteFile("empty", "");
  dir.MakeDir("d");
  EXPECT_TRUE(FileExists(dir.Path("empty").c_str()));
  EXPECT_FALSE(FileExists(dir.Path("d").c_str()));
  EXPECT_FALSE(FileExists(dir.Path("missing").c_str()));
  EXPECT_FALSE(FileExists(dir.Path("missing/below").c_str()));
  // The fault injection counts existence checks too: a failed one finds nothing.
  testing::FailNthFileOpen(1);
  EXPECT_FALSE(FileExists(dir.Path("empty").c_str()));
  EXPECT_TRUE(FileExists(dir.Path("empty").c_str()));
}

// The counters list their directory before each read, so that a shared file
// system's client renews the names another client has replaced.
TEST(DirectoryTest, RefreshListsADirectoryAndFailsOnAnythingElse) {
  harness::TempDir dir;
  dir.WriteFile("counter", "1\r\n");
  EXPECT_TRUE(RefreshDirectoryEntries(dir.path()));
  EXPECT_FALSE(RefreshDirectoryEntries(dir.Path("missing")));
  EXPECT_FALSE(RefreshDirectoryEntries(dir.Path("counter")));
}

TEST(DirectoryTest, ListingGivesEveryNameButTheDotEntries) {
  harness::TempDir dir;
  dir.WriteFile("1.req", "x");
  dir.MakeDir("sub");
  std::vector<DirectoryEntry> entries;
  ASSERT_TRUE(ListDirectory(dir.path(), entries));
  std::vector<std::string> names;
  for (const DirectoryEntry& entry : entries) names.push_back(entry.name);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"1.req", "sub"}));
  EXPECT_FALSE(ListDirectory(dir.Path("missing"), entries));
}

TEST(DirectoryTest, MakeDirectoryTakesAnExistingOneAndTellsAMissingParent) {
  harness::TempDir dir;
  EXPECT_TRUE(MakeDirectory(dir.Path("made")));
  EXPECT_TRUE(IsDirectory(dir.Path("made")));
  EXPECT_TRUE(MakeDirectory(dir.Path("made")));
  SystemError error;
  EXPECT_FALSE(MakeDirectory(dir.Path("missing/made"), &error));
  EXPECT_EQ(error.cause, FailureCause::kNotFound);
}

}  // namespace
}  // namespace platform
