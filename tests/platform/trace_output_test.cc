// The trace output: lines appended to the file the environment names, with
// time and thread, failures with their path and cause, and a trace that
// cannot be written failing nobody.
#include "platform/trace_output.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "platform/file.h"
#include "tests/harness/environment.h"
#include "tests/harness/temp_dir.h"

namespace platform {
namespace {

// Names the trace file for one scope (empty: none).
class TraceFileNamed : public harness::ScopedEnvironment {
 public:
  explicit TraceFileNamed(const std::string& path)
      : harness::ScopedEnvironment(kTraceFileVariable, path) {}
};

std::vector<std::string> Lines(const std::string& bytes) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t end = bytes.find('\n'); end != std::string::npos;
       end = bytes.find('\n', start)) {
    std::string line = bytes.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
    start = end + 1;
  }
  EXPECT_EQ(start, bytes.size()) << "the last line is not ended";
  return lines;
}

TEST(TraceOutputTest, AppendsEachMessageAndEachFailureAsOneLine) {
  harness::TempDir dir;
  dir.WriteFile("trace.log", "kept\n");
  const TraceFileNamed named(dir.Path("trace.log"));
  EXPECT_TRUE(TraceEnabled());
  WriteTraceLine("first");
  WriteTraceLine("two\r\nlines");
  const File missing = File::Open(dir.Path("missing.htm").c_str(), OpenMode::kRead);
  ASSERT_FALSE(missing.is_open());
  const std::vector<std::string> lines = Lines(dir.ReadFile("trace.log"));
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0], "kept");
  const std::regex stamp(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} \[\d+\] (.*))");
  std::smatch match;
  ASSERT_TRUE(std::regex_match(lines[1], match, stamp)) << lines[1];
  EXPECT_EQ(match[1].str(), "first");
  ASSERT_TRUE(std::regex_match(lines[2], match, stamp)) << lines[2];
  EXPECT_EQ(match[1].str(), "two\\r\\nlines");
  ASSERT_TRUE(std::regex_match(lines[3], match, stamp)) << lines[3];
  const std::string failure = match[1].str();
  EXPECT_EQ(failure.find(std::string(missing.error().call) + " \"" + dir.Path("missing.htm") +
                         "\" failed: " + FailureReason(missing.error())),
            0u)
      << failure;
}

TEST(TraceOutputTest, WithoutAWritableFileNothingFails) {
  harness::TempDir dir;
  dir.MakeDir("d");
  {
    const TraceFileNamed none("");
    EXPECT_FALSE(TraceEnabled());
    WriteTraceLine("discarded");
  }
  {
    // A directory, and a file under a directory that does not exist.
    for (const char* name : {"d", "no/such/trace.log"}) {
      const TraceFileNamed unwritable(dir.Path(name));
      WriteTraceLine("lost");
      const File file = File::Open(dir.Path("missing").c_str(), OpenMode::kRead);
      EXPECT_EQ(file.error().cause, FailureCause::kNotFound);
    }
  }
  EXPECT_FALSE(dir.Exists("no"));
}

TEST(TraceOutputTest, LongMessagesAreCutToOneLine) {
  harness::TempDir dir;
  const TraceFileNamed named(dir.Path("trace.log"));
  WriteTraceLine(std::string(2 * kTraceLineCapacity, 'x') + "\nforged line");
  const std::vector<std::string> lines = Lines(dir.ReadFile("trace.log"));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_LT(lines[0].size(), kTraceLineCapacity);
}

}  // namespace
}  // namespace platform
