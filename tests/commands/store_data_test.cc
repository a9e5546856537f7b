// StoreData through the module's entry points (and, for an empty body, which
// the gateway never dispatches, the handler itself): data stored as posted,
// the stored size as the whole answer.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "commands/portal_commands.h"
#include "gateway/html_stream.h"
#include "gateway/request_context.h"
#include "gateway/web_extension.h"
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

TEST(StoreDataTest, MissingPostDirectoryAnswersZero) {
  harness::SpoolRoot root;
  std::filesystem::remove(root.Path("post"));
  EXPECT_EQ(harness::Post("StoreData", "abc").body(), "0");
}

TEST(StoreDataTest, ProcessesAndThreadsPostingAtOnceLoseNothing) {
  // Several processes sharing one root, two request threads in each: every
  // body is stored whole in a file of its own with a ready file holding its
  // length, and every answer is the size of what was stored.
  harness::SpoolRoot root;
  constexpr int kProcesses = 4;
  constexpr int kThreads = 2;
  constexpr int kPostsEach = 8;
  const auto body = [](int process, int thread, int post) {
    return "p" + std::to_string(process) + " t" + std::to_string(thread) + " n" +
           std::to_string(post) + std::string(static_cast<std::size_t>(post * 13), '.') + "\r\n";
  };
  std::vector<pid_t> children;
  for (int p = 0; p < kProcesses; ++p) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      std::atomic<int> wrong_answers{0};
      std::vector<std::thread> threads;
      for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
          for (int n = 0; n < kPostsEach; ++n) {
            const std::string data = body(p, t, n);
            // The trailing LF gains a CR on disk.
            if (harness::Post("StoreData", data).body() != std::to_string(data.size() + 1)) {
              ++wrong_answers;
            }
          }
        });
      }
      for (std::thread& thread : threads) thread.join();
      _exit(wrong_answers == 0 ? 0 : 1);
    }
    children.push_back(child);
  }
  for (const pid_t child : children) {
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }

  std::multiset<std::string> expected;
  for (int p = 0; p < kProcesses; ++p) {
    for (int t = 0; t < kThreads; ++t) {
      for (int n = 0; n < kPostsEach; ++n) {
        std::string stored = body(p, t, n);
        stored.insert(stored.size() - 1, "\r");
        expected.insert(stored);
      }
    }
  }
  std::multiset<std::string> found;
  for (const auto& entry : std::filesystem::directory_iterator(root.Path("post"))) {
    if (entry.path().extension() != ".txt") continue;
    const std::string stem = entry.path().stem().string();
    const std::string stored = root.ReadFile("post/" + stem + ".txt");
    found.insert(stored);
    EXPECT_EQ(root.ReadFile("post/" + stem + ".rdy"), std::to_string(stored.size() - 1)) << stem;
  }
  EXPECT_EQ(found, expected);
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
