// The access log: the combined format's fields, the target without query
// values, the file written by its own thread, reopened on request, and
// lines dropped (and counted) rather than waited for.
#include "hosts/operations/access_log.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>

#include "tests/harness/temp_dir.h"

namespace hosts {
namespace {

using namespace std::chrono_literals;

TEST(AccessLogTest, LoggedTargetKeepsThePathAndTheCommandNameOnly) {
  const struct {
    const char* target;
    const char* logged;
  } cases[] = {
      {"/scripts/dudarovuvadu.dll?DoCommand?Logon=demo&Command=getlist&P1=&P2=&P3=",
       "/scripts/dudarovuvadu.dll?DoCommand"},
      {"/scripts/dudarovuvadu.dll?DoCommand&Logon=anna&P3=token",
       "/scripts/dudarovuvadu.dll?DoCommand"},
      {"/scripts/dudarovuvadu.dll?MfcISAPICommand=PostCommand&x=1",
       "/scripts/dudarovuvadu.dll?PostCommand"},
      {"/scripts/dudarovuvadu.dll?StoreData", "/scripts/dudarovuvadu.dll?StoreData"},
      {"/scripts/dudarovuvadu.dll", "/scripts/dudarovuvadu.dll"},
      {"/scripts/dudarovuvadu.dll?", "/scripts/dudarovuvadu.dll?"},
      // No plain command name: nothing of the query is logged.
      {"/scripts/dudarovuvadu.dll?Logon=anna&P3=secret", "/scripts/dudarovuvadu.dll?"},
      {"/scripts/dudarovuvadu.dll?Do%43ommand?Logon=anna", "/scripts/dudarovuvadu.dll?"},
      {"/elsewhere?x", "/elsewhere?x"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(LoggedTarget(c.target, false), c.logged) << c.target;
  }
  EXPECT_EQ(LoggedTarget("/s?DoCommand?Logon=anna", true), "/s?DoCommand?Logon=anna");
}

// Local time in the format's own form, here in a zone east of UTC.
TEST(AccessLogTest, LineIsTheCombinedFormatWithTheDurationAtTheEnd) {
  setenv("TZ", "CET-1", 1);
  tzset();
  AccessRecord record = AccessRecord::Begin("192.0.2.7", "http://portal.example/list",
                                            "Mozilla/5.0 (X11) \"quoted\"\x01");
  record.time = std::chrono::system_clock::from_time_t(1796722502);  // 2026-12-08 09:35:02 UTC
  record.method = "GET";
  record.target = "/scripts/dudarovuvadu.dll?DoCommand?Logon=demo&Command=getlist";
  record.version = 11;
  record.status = 200;
  record.bytes = 385;
  record.duration = 1734us;
  EXPECT_EQ(FormatAccessLine(record, false),
            "192.0.2.7 - - [08/Dec/2026:10:35:02 +0100] \"GET /scripts/dudarovuvadu.dll?DoCommand "
            "HTTP/1.1\" 200 385 \"http://portal.example/list\" \"Mozilla/5.0 (X11) "
            "\\\"quoted\\\"\\x01\" 0.001734\n");
  record.version = 10;
  record.status = 0;
  record.bytes = 0;
  record.referer.clear();
  record.user_agent.clear();
  record.method = "G\nET";
  record.duration = 2500000us;
  EXPECT_EQ(FormatAccessLine(record, true),
            "192.0.2.7 - - [08/Dec/2026:10:35:02 +0100] \"G\\x0AET "
            "/scripts/dudarovuvadu.dll?DoCommand?Logon=demo&Command=getlist HTTP/1.0\" - - \"-\" "
            "\"-\" 2.500000\n");
  unsetenv("TZ");
  tzset();
}

// A log shown in a browser carries no markup a client sent.
TEST(AccessLogTest, AngleBracketsAreEscapedLikeOtherUnsafeBytes) {
  AccessRecord record = AccessRecord::Begin("192.0.2.7", "", "<img src=x>");
  record.method = "GET";
  record.target = "/<b>";
  const std::string line = FormatAccessLine(record, false);
  EXPECT_NE(line.find("\"GET /\\x3Cb\\x3E HTTP/1.1\""), std::string::npos) << line;
  EXPECT_NE(line.find("\"\\x3Cimg src=x\\x3E\""), std::string::npos) << line;
}

// A head the parser refused has no request line: "-" stands for it.
TEST(AccessLogTest, RefusedHeadIsLoggedWithoutARequestLine) {
  AccessRecord record = AccessRecord::Begin("192.0.2.7", "", "");
  record.Finish("-", "", 11, 400, 12, std::chrono::steady_clock::now());
  const std::string line = FormatAccessLine(record, false);
  EXPECT_EQ(line.rfind("192.0.2.7 - - ["), 0u) << line;
  EXPECT_NE(line.find("] \"-\" 400 12 \"-\" \"-\" "), std::string::npos) << line;
}

AccessRecord Request(const std::string& target) {
  AccessRecord record = AccessRecord::Begin("127.0.0.1", "", "curl");
  record.Finish("GET", target, 11, 200, 10, std::chrono::steady_clock::now());
  return record;
}

TEST(AccessLogTest, LinesGoToTheFileAndReopenFollowsARotation) {
  harness::TempDir directory;
  const std::string path = directory.Path("access.log");
  std::string error;
  auto log = AccessLog::Open({path, false, 1024 * 1024}, &error);
  ASSERT_NE(log, nullptr) << error;
  log->Record(Request("/a?One"));
  ASSERT_TRUE(log->Flush(5s));
  std::filesystem::rename(path, path + ".1");  // what logrotate does first
  log->Record(Request("/b?Two"));
  ASSERT_TRUE(log->Flush(5s));
  log->Reopen();
  log->Record(Request("/c?Three"));
  ASSERT_TRUE(log->Flush(5s));
  log.reset();
  const std::string rotated = directory.ReadFile("access.log.1");
  const std::string current = directory.ReadFile("access.log");
  EXPECT_NE(rotated.find("\"GET /a?One HTTP/1.1\""), std::string::npos) << rotated;
  EXPECT_NE(rotated.find("\"GET /b?Two HTTP/1.1\""), std::string::npos) << rotated;
  EXPECT_EQ(current.find("/b?Two"), std::string::npos) << current;
  EXPECT_NE(current.find("\"GET /c?Three HTTP/1.1\""), std::string::npos) << current;
  EXPECT_EQ(std::filesystem::status(path).permissions() & std::filesystem::perms::others_read,
            std::filesystem::perms::none);
}

TEST(AccessLogTest, LinesPastTheBufferAreDroppedAndCounted) {
  harness::TempDir directory;
  std::string error;
  const std::size_t one_line = FormatAccessLine(Request("/x"), false).size();
  auto log = AccessLog::Open({directory.Path("access.log"), false, one_line}, &error);
  ASSERT_NE(log, nullptr) << error;
  // However the writer interleaves, a buffer of one line never holds two.
  std::uint64_t recorded = 0;
  while (log->dropped() == 0 && recorded < 100000) {
    log->Record(Request("/x"));
    ++recorded;
  }
  ASSERT_TRUE(log->Flush(5s));
  const std::uint64_t dropped = log->dropped();
  log.reset();
  EXPECT_GT(dropped, 0u);
  const std::string written = directory.ReadFile("access.log");
  std::uint64_t lines = 0;
  for (const char c : written) lines += c == '\n' ? 1 : 0;
  EXPECT_EQ(lines + dropped, recorded);
}

TEST(AccessLogTest, FullDiskDropsLinesAndCountsThem) {
  if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full on this system";
  std::string error;
  auto log = AccessLog::Open({"/dev/full", false, 1024 * 1024}, &error);
  ASSERT_NE(log, nullptr) << error;
  for (int i = 0; i < 3; ++i) log->Record(Request("/x"));
  ASSERT_TRUE(log->Flush(5s));
  EXPECT_EQ(log->dropped(), 3u);
}

// A log on a pipe nobody reads: the close gives up after its timeout and
// counts what it could not write, rather than hold the process.
TEST(AccessLogTest, CloseIsBoundedWhenNobodyReadsThePipe) {
  harness::TempDir directory;
  const std::string path = directory.Path("access.fifo");
  ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
  const int reader = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);  // never read
  ASSERT_GE(reader, 0);
  std::string error;
  auto log = AccessLog::Open({path, false, 1024 * 1024}, &error);
  ASSERT_NE(log, nullptr) << error;
  // More than a pipe holds.
  const std::string target = "/" + std::string(1000, 'a');
  for (int i = 0; i < 400; ++i) log->Record(Request(target));
  log->Close(100ms);
  EXPECT_GT(log->dropped(), 0u);
  log->Record(Request("/after"));  // closed: dropped, never queued
  ::close(reader);
}

TEST(AccessLogTest, OpenNamesTheReasonItFailed) {
  std::string error;
  EXPECT_EQ(AccessLog::Open({"/nonexistent/dir/access.log", false, 1024}, &error), nullptr);
  EXPECT_NE(error.find("/nonexistent/dir/access.log"), std::string::npos) << error;
  EXPECT_NE(error.find("No such file"), std::string::npos) << error;
}

}  // namespace
}  // namespace hosts
