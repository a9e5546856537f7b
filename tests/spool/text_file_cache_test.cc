// Tests of spool/text_file_cache.cc: a kept text is served only while the
// file's stamp stays, so an edited or replaced pointer file and a rewritten
// wait page are read by the next request; times on whole seconds, a spool
// declared shared and large files keep nothing. POSIX only (utimensat);
// Windows keeps nothing.
#include "spool/text_file_cache.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "platform/file.h"
#include "platform/module_path.h"
#include "spool/install_root.h"
#include "spool/wait_page.h"
#include "tests/harness/environment.h"
#include "tests/harness/temp_dir.h"
#include "tests/spool/kept_files.h"
#include "tests/spool/spooled_requests.h"

namespace spool {
namespace {

constexpr std::int64_t kSecond = 1'000'000'000;

std::string ReadKept(const std::string& path, std::size_t max_bytes = 1024 * 1024) {
  CachedText text;
  EXPECT_TRUE(ReadTextFileCached(path, text, max_bytes)) << path;
  return std::string(text.text());
}

TEST_F(KeptSpoolFilesTest, PointerFileEditedOrReplacedIsReadByTheNextRequest) {
  harness::TempDir dir;
  platform::testing::OverrideModulePath(dir.Path("dudarovuvadu.so"));
  const std::string pointer = dir.Path("dudarovuvadu.dir");
  dir.WriteFile("dudarovuvadu.dir", "/first-root\r\n");
  SetModifiedTime(pointer, kPastSeconds);
  EXPECT_EQ(ResolveRequestRoot().spool, "/first-root");
  EXPECT_EQ(ResolveRequestRoot().spool, "/first-root");
  EXPECT_EQ(CountTextFileCache().served, 1);  // the second request read no file
  // Edited in place to the same size.
  dir.WriteFile("dudarovuvadu.dir", "/other-root\r\n");
  SetModifiedTime(pointer, kPastSeconds + 1);
  EXPECT_EQ(ResolveRequestRoot().spool, "/other-root");
  // Replaced by another file of the same size and times.
  dir.WriteFile("pointer.new", "/third-root\r\n");
  SetModifiedTime(dir.Path("pointer.new"), kPastSeconds + 1);
  ASSERT_EQ(std::rename(dir.Path("pointer.new").c_str(), pointer.c_str()), 0);
  EXPECT_EQ(ResolveRequestRoot().spool, "/third-root");
  // Removed: the module's directory.
  ASSERT_EQ(std::remove(pointer.c_str()), 0);
  EXPECT_EQ(ResolveRequestRoot().spool, dir.path());
  platform::testing::ClearModulePathOverride();
}

std::string StoredWaitPage(std::string_view logon) {
  std::string stored;
  for (const char c :
       HtmlWaitPage(WaitPageTarget(kServer, {logon, "getdoc", "17", "", ""}), false)) {
    if (c == '\n') stored.push_back('\r');
    stored.push_back(c);
  }
  return stored;
}

TEST_F(KeptSpoolFilesTest, WaitPageRewrittenForANewRequestOfTheSameNumberIsReadByTheNextPoll) {
  harness::SpoolRoot root;
  root.WriteFile("out/17.tmp", StoredWaitPage("anna"));
  SetModifiedTime(root.Path("out/17.tmp"), kPastSeconds);
  EXPECT_EQ(Exchange("anna", "getdoc", "17", "", "", nullptr), root.Path("out/17.tmp"));
  EXPECT_EQ(Exchange("anna", "getdoc", "17", "", "", nullptr), root.Path("out/17.tmp"));
  EXPECT_EQ(CountTextFileCache().served, 1);
  // Ticket 17 issued again, to bert: a page of the same size.
  ASSERT_EQ(StoredWaitPage("bert").size(), StoredWaitPage("anna").size());
  root.WriteFile("out/17.tmp", StoredWaitPage("bert"));
  SetModifiedTime(root.Path("out/17.tmp"), kPastSeconds + 1);
  EXPECT_EQ(Exchange("anna", "getdoc", "17", "", "", nullptr), "!Invalid ticket");
  EXPECT_EQ(Exchange("bert", "getdoc", "17", "", "", nullptr), root.Path("out/17.tmp"));
}

// A file system that keeps whole seconds: every stamp the cache takes has
// the times of one second, however often the file is rewritten within it.
std::int64_t g_file_second = kPastSeconds;
void WholeSecondTimes(platform::FileStamp& stamp) {
  stamp.modified_ns = stamp.changed_ns = g_file_second * kSecond;
}
std::int64_t g_clock_ns = 0;
std::int64_t TestClock() { return g_clock_ns; }

TEST_F(KeptSpoolFilesTest, WholeSecondTimesKeepNothingUntilTheirSecondIsSafelyPast) {
  harness::TempDir dir;
  testing::SetStampFilter(&WholeSecondTimes);
  testing::SetCacheClock(&TestClock);
  // Half a second after the file's second: times finer than seconds would
  // count as settled by now.
  g_clock_ns = kPastSeconds * kSecond + kSecond / 2;
  dir.WriteFile("a.htm", "first\r\n");
  EXPECT_EQ(ReadKept(dir.Path("a.htm")), "first\n");
  dir.WriteFile("a.htm", "other\r\n");  // same size, same second
  EXPECT_EQ(ReadKept(dir.Path("a.htm")), "other\n");
  EXPECT_EQ(CountTextFileCache().kept, 0);
  // Seconds later, a write would fall in another second: the file is kept.
  g_clock_ns = (kPastSeconds + 4) * kSecond;
  EXPECT_EQ(ReadKept(dir.Path("a.htm")), "other\n");
  EXPECT_EQ(ReadKept(dir.Path("a.htm")), "other\n");
  EXPECT_EQ(CountTextFileCache().kept, 1);
  EXPECT_EQ(CountTextFileCache().served, 1);
}

TEST_F(KeptSpoolFilesTest, SpoolDeclaredSharedIsReadAfreshEveryTime) {
  harness::TempDir dir;
  const harness::ScopedEnvironment shared(platform::kSharedSpoolVariable, "1");
  dir.WriteFile("a.htm", "first\r\n");
  SetModifiedTime(dir.Path("a.htm"), kPastSeconds);
  EXPECT_EQ(ReadKept(dir.Path("a.htm")), "first\n");
  dir.WriteFile("a.htm", "other\r\n");
  SetModifiedTime(dir.Path("a.htm"), kPastSeconds);
  EXPECT_EQ(ReadKept(dir.Path("a.htm")), "other\n");
  EXPECT_EQ(CountTextFileCache().kept, 0);
  EXPECT_EQ(CountTextFileCache().served, 0);
}

TEST(SpoolFileSystemSharingTest, OnlyFileSystemsKnownToBeLocalAreLocal) {
  struct Case {
    std::uint64_t type;
    platform::FileSystemSharing sharing;
  };
  using enum platform::FileSystemSharing;
  const std::vector<Case> cases = {
      {0xEF53, kLocal},      {0x58465342, kLocal}, {0x9123683E, kLocal},
      {0x01021994, kLocal},  {0x794C7630, kLocal}, {0x6969, kShared},  // NFS
      {0x517B, kShared},                                               // SMB
      {0xFF534D42, kShared},                                           // CIFS
      {0xFE534D42, kShared},                                           // SMB2
      {0x65735546, kShared},                                           // FUSE (GlusterFS)
      {0x00C36400, kShared},                                           // Ceph
      {0x01021997, kShared},                                           // 9p
      {0x12345678, kShared},                                           // unknown
  };
  for (const Case& c : cases) {
    EXPECT_EQ(platform::SharingOfFileSystemType(c.type), c.sharing) << std::hex << c.type;
  }
}

TEST_F(KeptSpoolFilesTest, WhatIsKeptStaysWithinItsBoundsAndIsReleased) {
  harness::TempDir dir;
  dir.WriteFile("big.htm", std::string(kMaxKeptFileBytes + 1, 'b'));
  SetModifiedTime(dir.Path("big.htm"), kPastSeconds);
  EXPECT_EQ(ReadKept(dir.Path("big.htm")).size(), kMaxKeptFileBytes + 1);
  EXPECT_EQ(CountTextFileCache().kept, 0);
  // One file more than the bytes allow: the least recently served goes.
  const std::size_t files = kMaxKeptBytes / kMaxKeptFileBytes + 1;
  for (std::size_t i = 0; i < files; ++i) {
    const std::string name = std::to_string(i) + ".htm";
    dir.WriteFile(name, std::string(kMaxKeptFileBytes, 'x'));
    SetModifiedTime(dir.Path(name), kPastSeconds);
    (void)ReadKept(dir.Path(name));
  }
  EXPECT_LE(CountTextFileCache().bytes, kMaxKeptBytes);
  EXPECT_EQ(CountTextFileCache().files, files - 1);
  (void)ReadKept(dir.Path("0.htm"));  // read again, not served
  EXPECT_EQ(CountTextFileCache().served, 0);
  ReleaseTextFileCache();
  EXPECT_EQ(CountTextFileCache().files, 0u);
  EXPECT_EQ(CountTextFileCache().bytes, 0u);
}

}  // namespace
}  // namespace spool
