// Several processes storing posted data onto one root at once. They are
// started with fork, so this test exists on POSIX only.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "spool/posted_data.h"
#include "tests/harness/child_process.h"

namespace spool {
namespace {

TEST(StorePostedDataTest, ConcurrentProcessesLoseNoPostedData) {
  constexpr int kStoresEach = 20;
  harness::SharedRootProcesses processes(5);
  const auto body = [](int process, int store) {
    // Differing lengths and a line end, so a mixed-up file would show.
    return "process " + std::to_string(process) + " store " + std::to_string(store) + "\n" +
           std::string(static_cast<std::size_t>(process * 7 + store), '#');
  };
  EXPECT_TRUE(processes.Run([&body](int p, std::ostream& /*record*/) {
    int failures = 0;
    for (int s = 0; s < kStoresEach; ++s) {
      const std::string data = body(p, s);
      const long expected = static_cast<long>(data.size()) + 1;  // the CR before the LF
      if (StorePostedData(ResolveRequestRoot(), data, static_cast<long>(data.size())) != expected)
        ++failures;
    }
    return failures == 0;
  }));

  std::set<std::string> expected_files;
  for (int p = 0; p < processes.count(); ++p) {
    for (int s = 0; s < kStoresEach; ++s) {
      std::string stored = body(p, s);
      stored.insert(stored.find('\n'), "\r");
      expected_files.insert(stored);
    }
  }
  std::set<std::string> found_files;
  int data_files = 0;
  for (const auto& post : processes.StoredPosts()) {
    ++data_files;
    found_files.insert(post.data);
    EXPECT_EQ(post.ready, std::to_string(post.data.size() - 1)) << post.name;
  }
  EXPECT_EQ(data_files, processes.count() * kStoresEach);
  EXPECT_EQ(found_files, expected_files);
}

}  // namespace
}  // namespace spool
