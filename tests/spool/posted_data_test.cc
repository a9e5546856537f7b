// Tests of the posted-data store: stored bytes and sizes, the ready file
// written after the data, numbers skipped when their data file exists, the
// bound on skipping.
#include "spool/posted_data.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
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
    EXPECT_EQ(StorePostedData(ResolveRequestRoot(), c.data, c.received_length), c.stored_size)
        << c.what;
    EXPECT_EQ(root.ReadFile("post/1.txt"), c.stored_bytes) << c.what;
    EXPECT_EQ(root.ReadFile("post/1.rdy"), std::to_string(c.received_length)) << c.what;
  }
}

TEST(StorePostedDataTest, EmptyDataIsStoredEmptyWithoutReadyFile) {
  harness::SpoolRoot root;
  EXPECT_EQ(StorePostedData(ResolveRequestRoot(), "", 0), 0);
  EXPECT_TRUE(root.Exists("post/1.txt"));
  EXPECT_EQ(root.ReadFile("post/1.txt"), "");
  EXPECT_FALSE(root.Exists("post/1.rdy"));
}

TEST(StorePostedDataTest, MissingPostDirectoryStoresNothing) {
  harness::SpoolRoot root;
  std::filesystem::remove(root.Path("post"));
  EXPECT_EQ(StorePostedData(ResolveRequestRoot(), "abc", 3), 0);
  EXPECT_FALSE(root.Exists("post"));
}

TEST(StorePostedDataTest, NumberWithExistingDataFileIsSkipped) {
  harness::SpoolRoot root;
  root.WriteFile(kPostCounter, "4\r\n");
  root.WriteFile("post/5.txt", "older data");
  EXPECT_EQ(StorePostedData(ResolveRequestRoot(), "abc", 3), 3);
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
  EXPECT_EQ(StorePostedData(ResolveRequestRoot(), "new", 3), 3);
  for (int n = 1; n <= 5; ++n) {
    EXPECT_EQ(root.ReadFile("post/" + std::to_string(n) + ".txt"), "kept " + std::to_string(n));
    EXPECT_EQ(root.ReadFile("post/" + std::to_string(n) + ".rdy"), "6");
  }
  EXPECT_EQ(root.ReadFile("post/6.txt"), "new");
}

TEST(StorePostedDataTest, StaleReadyFileOfAReusedNumberIsReplaced) {
  harness::SpoolRoot root;
  root.WriteFile("post/1.rdy", "123456");
  EXPECT_EQ(StorePostedData(ResolveRequestRoot(), "ab", 2), 2);
  EXPECT_EQ(root.ReadFile("post/1.rdy"), "2");
}

TEST(StorePostedDataTest, SkippingIsBoundedAndThenWritesNothing) {
  harness::SpoolRoot root;
  for (int n = 1; n <= 3; ++n) root.WriteFile("post/" + std::to_string(n) + ".txt", "x");
  EXPECT_EQ(testing::StorePostedDataWithinBound(ResolveRequestRoot(), "abc", 3, 3), 0);
  EXPECT_FALSE(root.Exists("post/4.txt"));
  for (int n = 1; n <= 3; ++n) {
    EXPECT_EQ(root.ReadFile("post/" + std::to_string(n) + ".txt"), "x");
    EXPECT_FALSE(root.Exists("post/" + std::to_string(n) + ".rdy"));
  }
  // One number more is enough.
  EXPECT_EQ(testing::StorePostedDataWithinBound(ResolveRequestRoot(), "abc", 3, 1), 3);
  EXPECT_EQ(root.ReadFile("post/4.txt"), "abc");
}

TEST(StorePostedDataTest, AFailingOpenNeverAnnouncesIncompleteData) {
  // Whichever file open fails, a ready file only ever stands beside its
  // complete data, and a size is only answered for stored data.
  for (int nth = 1; nth <= 24; ++nth) {
    harness::SpoolRoot root;
    platform::testing::FailNthFileOpen(nth);
    const long size = StorePostedData(ResolveRequestRoot(), "a\nbc", 4);
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

TEST(StorePostedDataTest, ReadyFileNeverAppearsWithoutItsWholeLength) {
  // A back-end that opens post/N.rdy the moment the name is there: every
  // length is four digits, so an empty or partial read shows.
  constexpr long kStores = 400;
  harness::SpoolRoot root;
  const InstallRoot install_root = ResolveRequestRoot();
  std::atomic<bool> storing{true};
  std::vector<std::string> torn;
  std::thread back_end([&] {
    long next = 1;
    while (next <= kStores) {
      std::ifstream ready(root.Path("post/" + std::to_string(next) + ".rdy"), std::ios::binary);
      if (!ready.is_open()) {
        if (!storing.load()) break;
        std::this_thread::yield();  // leave the core to the stores
        continue;
      }
      const std::string length{std::istreambuf_iterator<char>(ready), {}};
      if (length.size() != 4) torn.push_back(std::to_string(next) + ": \"" + length + "\"");
      ++next;
    }
  });
  for (long i = 0; i < kStores; ++i) {
    const std::string body(static_cast<std::size_t>(1000 + i), 'x');
    EXPECT_EQ(StorePostedData(install_root, body, 1000 + i), 1000 + i);
  }
  storing.store(false);
  back_end.join();
  EXPECT_TRUE(torn.empty()) << torn.size() << " torn, first " << torn.front();
  for (const auto& entry : std::filesystem::directory_iterator(root.Path("post"))) {
    const std::string extension = entry.path().extension().string();
    EXPECT_TRUE(extension == ".txt" || extension == ".rdy") << entry.path();
  }
}

}  // namespace
}  // namespace spool
