// Tests of file parts: offsets and lengths read as a 32-bit long and taken as
// unsigned, and the fitting of a part to the file.
#include "commands/file_part.h"

#include <gtest/gtest.h>

#include <string>

namespace commands {
namespace {

TEST(FilePartTest, ReadsTheLongAtTheStartOfTheText) {
  struct Case {
    std::string text;
    std::int32_t value;
  };
  const Case cases[] = {
      {"", 0},
      {"abc", 0},
      {"42", 42},
      {"42abc", 42},
      {"  \t\n17", 17},
      {"+5", 5},
      {"-1", -1},
      {"- 1", 0},
      {"--1", 0},
      {"2147483647", 2147483647},
      {"2147483648", 2147483647},  // out of range sticks at the limit
      {"99999999999999999999999", 2147483647},
      {"-2147483648", -2147483647 - 1},
      {"-2147483649", -2147483647 - 1},
      {"-99999999999999999999999", -2147483647 - 1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(LongAtStart(c.text), c.value) << c.text;
  }
}

TEST(FilePartTest, NegativeTextsBecomeLargeUnsignedValues) {
  const FilePart part = PartFromTexts("-2", "-1");
  EXPECT_EQ(part.offset, 0xFFFFFFFEu);
  EXPECT_EQ(part.length, 0xFFFFFFFFu);
  EXPECT_TRUE(part.length_text_negative);
  EXPECT_FALSE(PartFromTexts("", "-0").length_text_negative);
  EXPECT_FALSE(PartFromTexts("", "4294967295").length_text_negative);  // sticks at 2^31-1
}

TEST(FilePartTest, ClampsPartsToTheFile) {
  struct Case {
    std::uint32_t offset, length;
    std::uint64_t size;
    std::uint32_t clamped_offset, clamped_length;
  };
  const Case cases[] = {
      {0, 10, 100, 0, 10},
      {90, 50, 100, 90, 10},   // runs past the end: cut
      {150, 50, 100, 0, 0},    // starts past the end: empty
      {100, 50, 100, 100, 0},  // starts at the end
      {100, 0, 100, 100, 0},
      {0, 0xFFFFFFFFu, 100, 0, 100},          // a P3 of -1: the whole file
      {0xFFFFFFFFu, 0xFFFFFFFFu, 100, 0, 0},  // no wrap-around in the sum
      {10, 0xFFFFFFF8u, 100, 10, 90},
      {0, 5, 0, 0, 0},
  };
  for (const Case& c : cases) {
    FilePart part;
    part.offset = c.offset;
    part.length = c.length;
    const FilePart clamped = ClampToFile(part, c.size);
    EXPECT_EQ(clamped.offset, c.clamped_offset) << c.offset << "+" << c.length;
    EXPECT_EQ(clamped.length, c.clamped_length) << c.offset << "+" << c.length;
  }
}

}  // namespace
}  // namespace commands
