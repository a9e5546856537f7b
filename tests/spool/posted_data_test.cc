// Tests of the posted-data store: stored bytes and sizes, the ready file
// written after the data, numbers skipped when their data file exists, the
// bound on skipping, and several processes storing onto one root at once.
#include "spool/posted_data.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "platform/file.h"
#include "tests/harness/temp_dir.h"

namespace spool {
namespace {

constexpr const char* kPostCounter = "dudarovuvadu.cnt.post.txt";

struct StoreCase {
  const char* what;
  std::string data;
  long received_length;
  std::string stored_bytes;  // post/1.txt as it lies on disk
  long stored_size;          // the answer
};

TEST(StorePostedDataTest, StoresTextAndAnnouncesItsLength) {
  const std::vector<StoreCase> cases = {
      {"plain text", "abc", 3, "abc", 3},
      {"LF stored as CR LF", "a\nb", 3, "a\r\nb", 4},
      {"trailing blanks and line end kept", "abc \r\n", 6, "abc \r\r\n", 7},
      {"bars from zero bytes", "a|b", 3, "a|b", 3},
      {"lone CR stays", "a\rb", 3, "a\rb", 3},
      {"text ends at a zero byte", std::string("ab\0cd", 5), 5, "ab", 2},
  };
  for (const StoreCase& c : cases) {
    harness::SpoolRoot root;
    EXPECT_EQ(StorePostedData(c.data, c.received_length), c.stored_size) << c.what;
    EXPECT_EQ(root.ReadFile("post/1.txt"), c.stored_bytes) << c.what;
    EXPECT_EQ(root.ReadFile("post/1.rdy"), std::to_string(c.received_length)) << c.what;
  }
}

TEST(StorePostedDataTest, EmptyDataIsStoredEmptyWithoutReadyFile) {
  harness::SpoolRoot root;
  EXPECT_EQ(StorePostedData("", 0), 0);
  EXPECT_TRUE(root.Exists("post/1.txt"));
  EXPECT_EQ(root.ReadFile("post/1.txt"), "");
  EXPECT_FALSE(root.Exists("post/1.rdy"));
}

TEST(StorePostedDataTest, MissingPostDirectoryStoresNothing) {
  harness::SpoolRoot root;
  std::filesystem::remove(root.Path("post"));
  EXPECT_EQ(StorePostedData("abc", 3), 0);
  EXPECT_FALSE(root.Exists("post"));
}

TEST(StorePostedDataTest, NumberWithExistingDataFileIsSkipped) {
  harness::SpoolRoot root;
  root.WriteFile(kPostCounter, "4\r\n");
  root.WriteFile("post/5.txt", "older data");
  EXPECT_EQ(StorePostedData("abc", 3), 3);
  EXPECT_EQ(root.ReadFile("post/5.txt"), "older data");
  EXPECT_FALSE(root.Exists("post/5.rdy"));
  EXPECT_EQ(root.ReadFile("post/6.txt"), "abc");
  EXPECT_EQ(root.ReadFile("post/6.rdy"), "3");
  EXPECT_EQ(root.ReadFile(kPostCounter), "6\r\n");
}

TEST(StorePostedDataTest, PostedDataIsNeverOverwritten) {
  // A run of taken numbers, as left by another process that drew the same
  // numbers: every one of them keeps its data and its ready file.
  harness::SpoolRoot root;
  for (int n = 1; n <= 5; ++n) {
    root.WriteFile("post/" + std::to_string(n) + ".txt", "kept " + std::to_string(n));
    root.WriteFile("post/" + std::to_string(n) + ".rdy", "6");
  }
  EXPECT_EQ(StorePostedData("new", 3), 3);
  for (int n = 1; n <= 5; ++n) {
    EXPECT_EQ(root.ReadFile("post/" + std::to_string(n) + ".txt"), "kept " + std::to_string(n));
    EXPECT_EQ(root.ReadFile("post/" + std::to_string(n) + ".rdy"), "6");
  }
  EXPECT_EQ(root.ReadFile("post/6.txt"), "new");
}

TEST(StorePostedDataTest, StaleReadyFileOfAReusedNumberIsReplaced) {
  harness::SpoolRoot root;
  root.WriteFile("post/1.rdy", "123456");
  EXPECT_EQ(StorePostedData("ab", 2), 2);
  EXPECT_EQ(root.ReadFile("post/1.rdy"), "2");
}

TEST(StorePostedDataTest, SkippingIsBoundedAndThenWritesNothing) {
  harness::SpoolRoot root;
  for (int n = 1; n <= 3; ++n) root.WriteFile("post/" + std::to_string(n) + ".txt", "x");
  EXPECT_EQ(testing::StorePostedDataWithinBound("abc", 3, 3), 0);
  EXPECT_FALSE(root.Exists("post/4.txt"));
  for (int n = 1; n <= 3; ++n) {
    EXPECT_EQ(root.ReadFile("post/" + std::to_string(n) + ".txt"), "x");
    EXPECT_FALSE(root.Exists("post/" + std::to_string(n) + ".rdy"));
  }
  // One number more is enough.
  EXPECT_EQ(testing::StorePostedDataWithinBound("abc", 3, 1), 3);
  EXPECT_EQ(root.ReadFile("post/4.txt"), "abc");
}

TEST(StorePostedDataTest, AFailingOpenNeverAnnouncesIncompleteData) {
  // Whichever file open fails, a ready file only ever stands beside its
  // complete data, and a size is only answered for stored data.
  for (int nth = 1; nth <= 24; ++nth) {
    harness::SpoolRoot root;
    platform::testing::FailNthFileOpen(nth);
    const long size = StorePostedData("a\nbc", 4);
    platform::testing::FailNthFileOpen(0);
    EXPECT_TRUE(size == 0 || size == 5) << "open " << nth << ": " << size;
    int complete = 0;
    for (const auto& entry : std::filesystem::directory_iterator(root.Path("post"))) {
      if (entry.path().extension() != ".rdy") continue;
      const std::string stem = entry.path().stem().string();
      EXPECT_EQ(root.ReadFile("post/" + stem + ".txt"), "a\r\nbc") << "open " << nth;
      EXPECT_EQ(root.ReadFile("post/" + stem + ".rdy"), "4") << "open " << nth;
      ++complete;
    }
    EXPECT_LE(complete, 1) << "open " << nth;
    if (size == 0) {
      EXPECT_EQ(complete, 0) << "open " << nth;
    }
  }
}

// Runs `store` with no file allowed to grow past `max_bytes`, as on a disk
// that is full after that many bytes.
long StoreOnAFullDisk(rlim_t max_bytes, const std::function<long()>& store) {
  std::signal(SIGXFSZ, SIG_IGN);
  rlimit saved{};
  if (getrlimit(RLIMIT_FSIZE, &saved) != 0) ADD_FAILURE() << "getrlimit";
  rlimit full = saved;
  full.rlim_cur = max_bytes;
  if (setrlimit(RLIMIT_FSIZE, &full) != 0) ADD_FAILURE() << "setrlimit";
  const long size = store();
  if (setrlimit(RLIMIT_FSIZE, &saved) != 0) ADD_FAILURE() << "setrlimit back";
  return size;
}

// A store that fails on a full disk leaves nothing behind: no half data file,
// no ready file without its length, and the answer says nothing was stored.
TEST(StorePostedDataTest, FullDiskLeavesNeitherHalfDataNorAnEmptyReadyFile) {
  {
    // The data does not fit.
    harness::SpoolRoot root;
    const std::string data(5000, 'd');
    EXPECT_EQ(StoreOnAFullDisk(1000, [&] { return StorePostedData(data, 5000); }), 0);
    EXPECT_FALSE(root.Exists("post/1.txt"));
    EXPECT_FALSE(root.Exists("post/1.rdy"));
  }
  {
    // The data fits, its length in the ready file does not.
    harness::SpoolRoot root;
    std::filesystem::create_symlink("/dev/full", root.Path("post/1.rdy"));
    EXPECT_EQ(StorePostedData("abc", 3), 0);
    EXPECT_FALSE(root.Exists("post/1.txt"));
    EXPECT_FALSE(std::filesystem::is_symlink(root.Path("post/1.rdy")));
    // With room again the next store is whole.
    EXPECT_EQ(StorePostedData("abc", 3), 3);
    EXPECT_EQ(root.ReadFile("post/2.txt"), "abc");
    EXPECT_EQ(root.ReadFile("post/2.rdy"), "3");
  }
}

TEST(StorePostedDataTest, ConcurrentProcessesLoseNoPostedData) {
  harness::SpoolRoot root;
  constexpr int kProcesses = 5;
  constexpr int kStoresEach = 20;
  const auto body = [](int process, int store) {
    // Differing lengths and a line end, so a mixed-up file would show.
    return "process " + std::to_string(process) + " store " + std::to_string(store) + "\n" +
           std::string(static_cast<std::size_t>(process * 7 + store), '#');
  };
  std::vector<pid_t> children;
  for (int p = 0; p < kProcesses; ++p) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      int failures = 0;
      for (int s = 0; s < kStoresEach; ++s) {
        const std::string data = body(p, s);
        const long expected = static_cast<long>(data.size()) + 1;  // the CR before the LF
        if (StorePostedData(data, static_cast<long>(data.size())) != expected) ++failures;
      }
      _exit(failures == 0 ? 0 : 1);
    }
    children.push_back(child);
  }
  for (const pid_t child : children) {
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }

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
