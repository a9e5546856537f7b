// StoreData from several processes sharing one root at once. They are
// started with fork, so this test exists on POSIX only.
#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/harness/child_process.h"
#include "tests/harness/fake_server.h"

namespace commands {
namespace {

TEST(StoreDataTest, ProcessesAndThreadsPostingAtOnceLoseNothing) {
  // Several processes sharing one root, two request threads in each: every
  // body is stored whole in a file of its own with a ready file holding its
  // length, and every answer is the size of what was stored.
  constexpr int kThreads = 2;
  constexpr int kPostsEach = 8;
  const auto body = [](int process, int thread, int post) {
    return "p" + std::to_string(process) + " t" + std::to_string(thread) + " n" +
           std::to_string(post) + std::string(static_cast<std::size_t>(post * 13), '.') + "\r\n";
  };
  harness::SharedRootProcesses processes(4);
  EXPECT_TRUE(processes.Run([&body](int p, std::ostream& /*record*/) {
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
    return wrong_answers == 0;
  }));

  std::multiset<std::string> expected;
  for (int p = 0; p < processes.count(); ++p) {
    for (int t = 0; t < kThreads; ++t) {
      for (int n = 0; n < kPostsEach; ++n) {
        std::string stored = body(p, t, n);
        stored.insert(stored.size() - 1, "\r");
        expected.insert(stored);
      }
    }
  }
  std::multiset<std::string> found;
  for (const auto& post : processes.StoredPosts()) {
    found.insert(post.data);
    EXPECT_EQ(post.ready, std::to_string(post.data.size() - 1)) << post.name;
  }
  EXPECT_EQ(found, expected);
}

}  // namespace
}  // namespace commands
