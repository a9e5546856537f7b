// DoCommand cases that need POSIX file names: an install root whose path
// holds "<" and ">", which Windows does not allow in a name.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "tests/commands/query_test_support.h"
#include "tests/harness/temp_dir.h"

namespace commands {
namespace {

using testing::DoCommandQuery;
using testing::RunQuery;

TEST(DoCommandTest, ErrorPageEscapesTheSpoolErrorText) {
  // An install root whose path holds HTML: the error text shows it escaped.
  harness::TempDir base;
  base.MakeDir("a&<b>");
  const char* old_tmpdir = std::getenv("TMPDIR");
  const std::string saved = old_tmpdir != nullptr ? old_tmpdir : "";
  setenv("TMPDIR", base.Path("a&<b>").c_str(), 1);
  {
    harness::SpoolRoot root;
    std::filesystem::remove_all(root.Path("in"));
    const std::string page = RunQuery(DoCommandQuery("anna", "getlist")).body();
    std::string shown = root.Path("in/");
    shown.replace(shown.find("a&<b>"), 5, "a&amp;&lt;b&gt;");
    EXPECT_NE(page.find("<body>Can't create " + shown), std::string::npos) << page;
  }
  if (old_tmpdir != nullptr) {
    setenv("TMPDIR", saved.c_str(), 1);
  } else {
    unsetenv("TMPDIR");
  }
}

}  // namespace
}  // namespace commands
