// Several processes storing posted data onto one root at once. They are
// started with fork, so this test exists on POSIX only.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "spool/posted_data.h"
#include "tests/harness/child_process.h"
#include "tests/harness/temp_dir.h"

namespace spool {
namespace {

TEST(StorePostedDataTest, ConcurrentProcessesLoseNoPostedData) {
  harness::SpoolRoot root;
  constexpr int kProcesses = 5;
  constexpr int kStoresEach = 20;
  const auto body = [](int process, int store) {
    // Differing lengths and a line end, so a mixed-up file would show.
    return "process " + std::to_string(process) + " store " + std::to_string(store) + "\n" +
           std::string(static_cast<std::size_t>(process * 7 + store), '#');
  };
  EXPECT_TRUE(harness::RunInForks(kProcesses, [&body](int p) {
    int failures = 0;
    for (int s = 0; s < kStoresEach; ++s) {
      const std::string data = body(p, s);
      const long expected = static_cast<long>(data.size()) + 1;  // the CR before the LF
      if (StorePostedData(ResolveRequestRoot(), data, static_cast<long>(data.size())) != expected)
        ++failures;
    }
    return failures == 0 ? 0 : 1;
  }));

  std::set<std::string> expected_files;
  for (int p = 0; p < kProcesses; ++p) {
    for (int s = 0; s < kStoresEach; ++s) {
      std::string stored = body(p, s);
      stored.insert(stored.find('\n'), "\r");
      expected_files.insert(stored);
    }
  }
  std::set<std::string> found_files;
  int data_files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(root.Path("post"))) {
    if (entry.path().extension() != ".txt") continue;
    ++data_files;
    const std::string stem = entry.path().stem().string();
    const std::string stored = root.ReadFile("post/" + stem + ".txt");
    found_files.insert(stored);
    EXPECT_EQ(root.ReadFile("post/" + stem + ".rdy"), std::to_string(stored.size() - 1)) << stem;
  }
  EXPECT_EQ(data_files, kProcesses * kStoresEach);
  EXPECT_EQ(found_files, expected_files);
}

}  // namespace
}  // namespace spool
