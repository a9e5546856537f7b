// Files: reads at an offset beside the position that Read and Seek use, and
// reads that stop at the end of the file as it is at that moment.
#include "platform/file.h"

#include <gtest/gtest.h>

#include <string>

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
  EXPECT_EQ(file.ReadByte(), -1);
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
  EXPECT_EQ(file.ReadByte(), -1);
}

}  // namespace
}  // namespace platform
