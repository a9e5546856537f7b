// StoreData through the module's entry points (and, for an empty body, which
// the gateway never dispatches, the handler itself): data stored as posted,
// the stored size as the whole answer.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "commands/portal_commands.h"
#include "gateway/html_stream.h"
#include "gateway/request_context.h"
#include "gateway/web_extension.h"
#include "spool/counters.h"
#include "spool/trace.h"
#include "tests/harness/fake_server.h"
#include "tests/harness/temp_dir.h"

namespace commands {
namespace {

struct StoreCase {
  const char* what;
  std::string body;
  std::string answer;        // the response body
  std::string stored_bytes;  // post/1.txt on disk
};

TEST(StoreDataTest, StoresTheBodyAsPostedAndAnswersTheStoredSize) {
  const std::vector<StoreCase> cases = {
      {"plain", "abc", "3", "abc"},
      {"zero byte stored as a bar", std::string("a\0b", 3), "3", "a|b"},
      {"zero byte at the end", std::string("x\0y\0", 4), "4", "x|y|"},
      {"LF stored as CR LF", "a\nb", "4", "a\r\nb"},
      {"trailing blanks kept", "abc  ", "5", "abc  "},
      {"zero byte first", std::string("\0bin", 4), "4", "|bin"},
      {"one zero byte", std::string(1, '\0'), "1", "|"},
  };
  for (const StoreCase& c : cases) {
    harness::SpoolRoot root;
    const harness::Response response = harness::Post("StoreData", c.body);
    EXPECT_EQ(response.status_line, "200 OK") << c.what;
    EXPECT_EQ(response.header_text.value_or(""), "") << c.what;
    EXPECT_EQ(response.body(), c.answer) << c.what;
    EXPECT_EQ(root.ReadFile("post/1.txt"), c.stored_bytes) << c.what;
    EXPECT_EQ(root.ReadFile("post/1.rdy"), std::to_string(c.body.size())) << c.what;
  }
}

TEST(StoreDataTest, PostedDataIsStoredAsPosted) {
  // Regression: a text posted with its final line end was stored ending in
  // "||" instead of CR LF.
  harness::SpoolRoot root;
  const std::string text = "line one\r\nline two\r\n";
  const harness::Response response = harness::Post("StoreData", text);
  // Text mode stores each LF as CR LF, so CR LF lies on disk as CR CR LF.
  EXPECT_EQ(root.ReadFile("post/1.txt"), "line one\r\r\nline two\r\r\n");
  EXPECT_EQ(response.body(), "22");
  EXPECT_EQ(root.ReadFile("post/1.rdy"), "20");
}

TEST(StoreDataTest, QueryStringDataIsStoredToo) {
  harness::SpoolRoot root;
  EXPECT_EQ(harness::Get("StoreData?abc").body(), "3");
  EXPECT_EQ(root.ReadFile("post/1.txt"), "abc");
}

TEST(StoreDataTest, DrawnNumberWithExistingDataFileIsSkipped) {
  harness::SpoolRoot root;
  root.WriteFile("dudarovuvadu.cnt.post.txt", "4\r\n");
  root.WriteFile("post/5.txt", "someone else's");
  EXPECT_EQ(harness::Post("StoreData", "mine").body(), "4");
  EXPECT_EQ(root.ReadFile("post/5.txt"), "someone else's");
  EXPECT_EQ(root.ReadFile("post/6.txt"), "mine");
  EXPECT_EQ(root.ReadFile("post/6.rdy"), "4");
}

// Points the pointer file of `g_pointer_dir` at `g_moved_root` when the post
// counter reports its first number: a rewrite between the steps of a request.
const harness::TempDir* g_pointer_dir = nullptr;
std::string g_moved_root;

void RewritePointerFileOnce(std::string_view message) {
  if (g_pointer_dir == nullptr || message.rfind("post compteur=", 0) != 0) return;
  g_pointer_dir->WriteFile("dudarovuvadu.dir", g_moved_root + "\r\n");
  g_pointer_dir = nullptr;
}

TEST(StoreDataTest, RegressionPointerFileRewrittenMidRequestMovesNoPartOfIt) {
  // The first number drawn names an existing data file, so the store draws
  // again after the pointer file names another root: the second number must
  // come from the same counter as the first.
  harness::SpoolRoot root;
  harness::TempDir moved;
  moved.MakeDir("post");
  root.WriteFile("post/1.txt", "someone else's");
  g_pointer_dir = &root;
  g_moved_root = moved.path();
  spool::testing::SetTraceObserver(&RewritePointerFileOnce);
  const harness::Response response = harness::Post("StoreData", "mine");
  spool::testing::SetTraceObserver(nullptr);
  ASSERT_EQ(g_pointer_dir, nullptr) << "the pointer file was rewritten during the request";
  EXPECT_EQ(response.body(), "4");
  EXPECT_EQ(root.ReadFile("post/2.txt"), "mine");
  EXPECT_EQ(spool::ParseCounterText(root.ReadFile("dudarovuvadu.cnt.post.txt")), 2);
  EXPECT_FALSE(moved.Exists("dudarovuvadu.cnt.post.txt")) << "a counter of another root moved";
}

TEST(StoreDataTest, MissingPostDirectoryAnswersZero) {
  harness::SpoolRoot root;
  std::filesystem::remove(root.Path("post"));
  EXPECT_EQ(harness::Post("StoreData", "abc").body(), "0");
}

TEST(StoreDataTest, EmptyBodyAnswersZeroWithoutReadyFile) {
  harness::SpoolRoot root;
  gateway::WebExtension* extension = gateway::WebExtension::Current();
  ASSERT_NE(extension, nullptr);
  gateway::RequestContext context(nullptr);
  context.set_stream(std::make_unique<gateway::HtmlStream>());
  StoreData(*extension, context, "", 0);
  EXPECT_EQ(context.stream()->view(), "0");
  EXPECT_FALSE(root.Exists("post/1.rdy"));
}

}  // namespace
}  // namespace commands
