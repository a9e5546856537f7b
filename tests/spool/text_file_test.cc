// Tests of spool/text_file.cc: the stored bytes are the Windows text-mode
// bytes, line reads stop at LF or at their bound, and line ends are cut in
// the spool's four steps.
#include "spool/text_file.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "tests/harness/temp_dir.h"

namespace spool {
namespace {

TEST(TextFileWriterTest, StoresEachLineFeedAsCrLf) {
  struct Case {
    std::string written;
    std::string stored;
  };
  const std::vector<Case> cases = {
      {"1\n", "1\r\n"},
      {"a\nb\n", "a\r\nb\r\n"},
      {"\r\n", "\r\r\n"},        // a written CR LF keeps its CR
      {"lone\rcr", "lone\rcr"},  // a lone CR is written as it is
      {"", ""},
      {"\n\n", "\r\n\r\n"},
  };
  for (const Case& c : cases) {
    harness::TempDir dir;
    {
      TextFileWriter writer(dir.Path("f.txt"), platform::OpenMode::kWriteTruncate);
      ASSERT_TRUE(writer.is_open());
      EXPECT_TRUE(writer.Write(c.written));
      EXPECT_TRUE(writer.Close());
    }
    EXPECT_EQ(dir.ReadFile("f.txt"), c.stored) << "written: " << c.written;
  }
}

TEST(TextFileWriterTest, AppendAddsAtTheEndAndExclusiveRefusesAnExistingFile) {
  harness::TempDir dir;
  {
    TextFileWriter first(dir.Path("f.txt"), platform::OpenMode::kAppend);
    ASSERT_TRUE(first.Write("a\n"));
  }
  {
    TextFileWriter second(dir.Path("f.txt"), platform::OpenMode::kAppend);
    ASSERT_TRUE(second.Write("b\n"));
  }
  EXPECT_EQ(dir.ReadFile("f.txt"), "a\r\nb\r\n");
  TextFileWriter exclusive(dir.Path("f.txt"), platform::OpenMode::kCreateExclusive);
  EXPECT_FALSE(exclusive.is_open());
  EXPECT_FALSE(exclusive.Write("x"));
  EXPECT_EQ(dir.ReadFile("f.txt"), "a\r\nb\r\n");
}

// Reads every line of `stored` with the given bound.
std::vector<std::string> ReadAll(const std::string& stored, std::size_t max_chars) {
  harness::TempDir dir;
  dir.WriteFile("f.txt", stored);
  TextFileReader reader(dir.Path("f.txt"));
  std::vector<std::string> lines;
  std::string line;
  while (reader.ReadLine(line, max_chars)) lines.push_back(line);
  EXPECT_TRUE(reader.AtEnd());
  EXPECT_TRUE(line.empty());
  return lines;
}

TEST(TextFileReaderTest, TurnsCrLfIntoLfAndKeepsLoneCr) {
  struct Case {
    std::string stored;
    std::vector<std::string> lines;
  };
  const std::vector<Case> cases = {
      {"", {}},
      {"a\r\nb\r\n", {"a\n", "b\n"}},
      {"a\nb", {"a\n", "b"}},
      {"a\rb\r\n", {"a\rb\n"}},
      {"a\r\r\n", {"a\r\n"}},  // what a written "a\r\n" reads back as
      {"end\r", {"end\r"}},    // a CR at the very end stays
      {"\r\r\r\n", {"\r\r\n"}},
      {"\n", {"\n"}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ReadAll(c.stored, 1023), c.lines) << c.stored;
    // Read whole, the file gives the same text, and its first line.
    harness::TempDir dir;
    dir.WriteFile("f.txt", c.stored);
    TextFileContents whole;
    ASSERT_TRUE(ReadTextFile(dir.Path("f.txt"), whole, 1 << 20)) << c.stored;
    std::string joined;
    for (const std::string& line : c.lines) joined += line;
    EXPECT_EQ(whole.text(), joined) << c.stored;
    EXPECT_EQ(FirstLine(whole.text()), c.lines.empty() ? "" : c.lines.front()) << c.stored;
  }
}

TEST(ReadTextFileTest, ReadsWhatTheLineReaderReadsUpToItsBound) {
  std::mt19937 random(20261208);
  const std::string alphabet = "ab\r\n";
  harness::TempDir dir;
  for (int round = 0; round < 100; ++round) {
    // Small files and ones beyond what the contents hold in themselves.
    std::string stored(random() % (round % 2 == 0 ? 300 : 3000), 'a');
    for (char& c : stored) c = alphabet[random() % alphabet.size()];
    dir.WriteFile("f.txt", stored);
    const std::vector<std::string> lines = ReadAll(stored, 1023);
    std::string joined;
    for (const std::string& line : lines) joined += line;
    TextFileContents whole;
    ASSERT_TRUE(ReadTextFile(dir.Path("f.txt"), whole, stored.size()));
    EXPECT_EQ(whole.text(), joined) << "round " << round;
  }
  TextFileContents whole;
  ASSERT_TRUE(ReadTextFile(dir.Path("f.txt"), whole, 100));
  platform::SystemError error;
  EXPECT_FALSE(ReadTextFile(dir.Path("missing.txt"), whole, 100, &error));
  EXPECT_EQ(whole.text(), "");
  EXPECT_EQ(error.cause, platform::FailureCause::kNotFound);
}

TEST(TextFileReaderTest, LineReadStopsAtItsBound) {
  // The bound counts characters after translation: a CR LF is one.
  EXPECT_EQ(ReadAll("abcdef\r\n", 3), (std::vector<std::string>{"abc", "def", "\n"}));
  EXPECT_EQ(ReadAll("ab\r\ncd", 3), (std::vector<std::string>{"ab\n", "cd"}));
  const std::string long_line(2000, 'x');
  const auto lines = ReadAll(long_line + "\r\n", kLineCapacity - 1);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], std::string(1023, 'x'));
  EXPECT_EQ(lines[1], std::string(977, 'x') + "\n");
}

TEST(TextFileReaderTest, WhatIsWrittenReadsBackUnchanged) {
  for (const std::string text : {"plain\n", "with\r\nCRLF\n", "\r\r\n\n\r", "x"}) {
    harness::TempDir dir;
    {
      TextFileWriter writer(dir.Path("f.txt"), platform::OpenMode::kWriteTruncate);
      ASSERT_TRUE(writer.Write(text));
    }
    TextFileReader reader(dir.Path("f.txt"));
    std::string all;
    std::string line;
    while (reader.ReadLine(line)) all += line;
    EXPECT_EQ(all, text);
  }
}

TEST(TextFileReaderTest, MissingFileAndDirectoryDoNotOpen) {
  harness::TempDir dir;
  dir.MakeDir("sub");
  for (const std::string name : {"missing.txt", "sub"}) {
    TextFileReader reader(dir.Path(name));
    EXPECT_FALSE(reader.is_open());
    std::string line = "preset";
    EXPECT_FALSE(reader.ReadLine(line));
    EXPECT_TRUE(line.empty());
  }
}

TEST(CutLineEndTest, FourStepsEachWhileLongEnough) {
  struct Case {
    std::string line;
    std::size_t min_length;
    std::string cut;
  };
  const std::vector<Case> cases = {
      {"root\n", 2, "root"},
      {"root\r\n", 2, "root"},
      {"root\n\r\n", 2, "root"},
      {"root\r\n\r\n", 2, "root"},
      {"root\r\n\r\n\r\n", 2, "root\r\n"},  // only four steps
      {"root\n\n", 2, "root"},              // LF, (no CR), LF
      {"\n", 2, "\n"},                      // one character: nothing cut
      {"a\n", 2, "a"},
      {"\r\n", 2, "\r"},  // after the LF goes the text is one character long
      {"", 2, ""},
      {"\n", 1, ""},  // the lock file's rule: any non-empty text
      {"\r\n", 1, ""},
      {"id\n", 1, "id"},
      {"", 1, ""},
  };
  for (const Case& c : cases) {
    std::string line = c.line;
    CutLineEnd(line, c.min_length);
    EXPECT_EQ(line, c.cut) << "min " << c.min_length;
  }
}

// The runtime's text-mode line read, one byte at a time: what the reader,
// which reads the file in blocks, must give whatever the block boundaries.
std::vector<std::string> ReferenceLines(const std::string& stored, std::size_t max_chars) {
  std::vector<std::string> lines;
  std::size_t at = 0;
  while (at < stored.size()) {
    std::string line;
    while (line.size() < max_chars && at < stored.size()) {
      char c = stored[at++];
      if (c == '\r' && at < stored.size() && stored[at] == '\n') c = stored[at++];
      line.push_back(c);
      if (c == '\n') break;
    }
    lines.push_back(line);
  }
  return lines;
}

TEST(TextFileReaderTest, BlockBoundariesNeverChangeTheLinesRead) {
  std::mt19937 random(20261208);
  const std::string alphabet = "ab\r\n";
  harness::TempDir dir;
  for (int round = 0; round < 200; ++round) {
    // Sizes around one and two blocks, so CRs and LFs fall on and across
    // the boundaries.
    const std::size_t size = kReadBlockSize - 6 + random() % 20 + (round % 2) * kReadBlockSize;
    std::string stored(size, 'a');
    for (char& c : stored) c = alphabet[random() % alphabet.size()];
    // Every fifth file has a CR LF split across the first boundary.
    if (round % 5 == 0 && size > kReadBlockSize) {
      stored[kReadBlockSize - 1] = '\r';
      stored[kReadBlockSize] = '\n';
    }
    const std::size_t max_chars = round % 3 == 0 ? 1023 : 1 + random() % 7;
    dir.WriteFile("f.txt", stored);

    TextFileReader reader(dir.Path("f.txt"));
    std::vector<std::string> lines;
    std::string line;
    while (reader.ReadLine(line, max_chars)) lines.push_back(line);
    EXPECT_TRUE(reader.AtEnd());
    ASSERT_EQ(lines, ReferenceLines(stored, max_chars)) << "round " << round;
  }
}

}  // namespace
}  // namespace spool
