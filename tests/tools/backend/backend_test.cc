// The back-end's loop against a real spool tree in a temporary directory:
// requests answered once, answers complete before their ready flags, reused
// numbers answered again, malformed files answered with an error page, and
// posted data and events consumed as they appear.

#include "tools/backend/backend.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <sys/stat.h>
#include <utime.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "backend_kit/spool_text.h"

namespace tools {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using backend_kit::ReadFileBytes;
using backend_kit::WriteFile;

class BackendTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/backend_test.XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    root_ = pattern;
    for (const char* dir : {"in", "out", "traces", "post", "rights", "events", "docs"}) {
      fs::create_directory(root_ + "/" + dir);
    }
    Put("docs/a.pdf", "%PDF-1.4 test");
    options_.root = root_;
    options_.documents_folder = root_ + "/docs";
    options_.force_polling = true;
    options_.incomplete_grace = 100ms;
  }
  void TearDown() override { fs::remove_all(root_); }

  void Put(const std::string& relative, const std::string& bytes) {
    ASSERT_TRUE(WriteFile(root_ + "/" + relative, bytes)) << relative;
  }
  void Append(const std::string& relative, const std::string& bytes) {
    std::ofstream(root_ + "/" + relative, std::ios::binary | std::ios::app) << bytes;
  }
  std::string Read(const std::string& relative) {
    return ReadFileBytes(root_ + "/" + relative).value_or("<missing>");
  }
  bool Exists(const std::string& relative) { return fs::exists(root_ + "/" + relative); }
  unsigned long Inode(const std::string& relative) {
    struct stat info {};
    EXPECT_EQ(::stat((root_ + "/" + relative).c_str(), &info), 0) << relative;
    return static_cast<unsigned long>(info.st_ino);
  }
  // Sets a file's time a minute back, past any claim timeout of the tests.
  void MakeOld(const std::string& relative) {
    const std::time_t then = std::time(nullptr) - 60;
    const utimbuf times{then, then};
    EXPECT_EQ(::utime((root_ + "/" + relative).c_str(), &times), 0) << relative;
  }
  // Writes a request as the module does: server file, then request file.
  void Spool(const std::string& ticket, const std::string& command, const std::string& p2 = "") {
    Put("in/" + ticket + ".srv", "http\r\nlocalhost\r\n8080\r\n");
    Put("in/" + ticket + ".req", "/scripts/dudarovuvadu.dll\r\nanna\r\n" + command + "\r\n" +
                                     ticket + "\r\n" + p2 + "\r\n\r\n");
  }
  int CountLines(const std::string& prefix) {
    std::istringstream lines(report_.str());
    int count = 0;
    for (std::string line; std::getline(lines, line);) count += line.rfind(prefix, 0) == 0;
    return count;
  }

  std::string root_;
  BackendOptions options_;
  std::ostringstream report_;
};

TEST_F(BackendTest, AnswersEachRequestOnceAnswerBeforeFlag) {
  Backend backend(options_, report_);
  std::string error;
  ASSERT_TRUE(backend.Start(error)) << error;
  Spool("1", "hello");
  const auto now = Backend::Clock::now();
  backend.ScanOnce(now);
  backend.ScanOnce(now + 10ms);
  backend.ScanOnce(now + 20ms);
  EXPECT_EQ(CountLines("answered 1 "), 1) << report_.str();
  ASSERT_TRUE(Exists("out/1.rdy"));
  const std::string answer = Read("out/1.htm");
  EXPECT_NE(answer.find("<td id=\"command\">hello</td></tr>\r\n"), std::string::npos);
  EXPECT_EQ(answer.find("\n\n"), std::string::npos);  // every LF stored as CR LF
  EXPECT_FALSE(Exists("out/1.htm.new"));
  // Nothing else in out/: no temporary file under any name.
  int files = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator(root_ + "/out")) ++files;
  EXPECT_EQ(files, 2);
}

TEST_F(BackendTest, ReusedNumberIsAnsweredAgain) {
  Backend backend(options_, report_);
  std::string error;
  ASSERT_TRUE(backend.Start(error));
  Spool("5", "first");
  auto now = Backend::Clock::now();
  backend.ScanOnce(now);
  // The module picks the answer up, then a wrapped counter issues 5 again:
  // it deletes the old flag before it writes the new request.
  fs::remove(root_ + "/in/5.req");
  fs::remove(root_ + "/out/5.rdy");
  backend.ScanOnce(now + 10ms);
  Spool("5", "second");
  backend.ScanOnce(now + 20ms);
  EXPECT_EQ(CountLines("answered 5 "), 2) << report_.str();
  EXPECT_NE(Read("out/5.htm").find("second"), std::string::npos);
}

TEST_F(BackendTest, OldReadyFlagDoesNotHideANewRequestUnderTheSameNumber) {
  // The module claims a reused number by creating its request file, then
  // removes the old flag, then writes the lines: a rescan can fall between.
  Put("out/9.htm", "old answer");
  Put("out/9.rdy", "");
  Put("in/9.req", "");
  Backend backend(options_, report_);
  std::string error;
  ASSERT_TRUE(backend.Start(error));
  const auto now = Backend::Clock::now();
  backend.ScanOnce(now);
  fs::remove(root_ + "/out/9.rdy");
  Spool("9", "newer");
  backend.ScanOnce(now + 10ms);
  EXPECT_EQ(CountLines("answered 9 "), 1) << report_.str();
  EXPECT_NE(Read("out/9.htm").find("newer"), std::string::npos);
}

TEST_F(BackendTest, RequestAlreadyFlaggedIsNotAnsweredAgain) {
  // A basket answer keeps its flag and its request may outlive a restart.
  Spool("8", "getqvpanier");
  Put("out/8.htm", "kept");
  Put("out/8.rdy", "");
  Backend backend(options_, report_);
  std::string error;
  ASSERT_TRUE(backend.Start(error));
  backend.ScanOnce(Backend::Clock::now());
  EXPECT_EQ(Read("out/8.htm"), "kept");
  EXPECT_EQ(CountLines("answered"), 0);
}

TEST_F(BackendTest, NoReadyFlagWhenTheAnswerCannotBeWritten) {
  fs::create_directory(root_ + "/out/3.htm");  // the answer's name is taken
  Backend backend(options_, report_);
  std::string error;
  ASSERT_TRUE(backend.Start(error));
  Spool("3", "hello");
  backend.ScanOnce(Backend::Clock::now());
  EXPECT_FALSE(Exists("out/3.rdy"));
  EXPECT_EQ(CountLines("error 3: cannot write its answer"), 1) << report_.str();
}

TEST_F(BackendTest, IncompleteRequestWaitsThenGetsAnErrorPage) {
  Backend backend(options_, report_);
  std::string error;
  ASSERT_TRUE(backend.Start(error));
  Put("in/4.req", "/scripts/dudarovuvadu.dll\r\nanna\r\n");
  const auto now = Backend::Clock::now();
  backend.ScanOnce(now);
  EXPECT_FALSE(Exists("out/4.rdy"));  // maybe still being written
  backend.ScanOnce(now + 200ms);
  ASSERT_TRUE(Exists("out/4.rdy"));
  EXPECT_NE(Read("out/4.htm").find("2 lines where six are expected"), std::string::npos);
  EXPECT_EQ(CountLines("malformed 4:"), 1);
}

TEST_F(BackendTest, BinaryGarbageGetsAnErrorPage) {
  Backend backend(options_, report_);
  std::string error;
  ASSERT_TRUE(backend.Start(error));
  std::string garbage;
  for (int i = 0; i < 4096; ++i) garbage.push_back(static_cast<char>((i * 37) % 256));
  Put("in/6.req", garbage);
  const auto now = Backend::Clock::now();
  backend.ScanOnce(now);
  backend.ScanOnce(now + 200ms);
  EXPECT_TRUE(Exists("out/6.rdy"));
  EXPECT_EQ(CountLines("malformed 6:"), 1) << report_.str();
}

TEST_F(BackendTest, HugeFileInInIsRefusedAsMalformed) {
  Backend backend(options_, report_);
  std::string error;
  ASSERT_TRUE(backend.Start(error));
  // Six lines, but far beyond anything the module writes.
  Put("in/13.req", "/s\r\n" + std::string(4 * 1024 * 1024, 'x') + "\r\n\r\n\r\n\r\n\r\n");
  backend.ScanOnce(Backend::Clock::now());
  EXPECT_EQ(CountLines("malformed 13: the request file is larger than"), 1) << report_.str();
  EXPECT_TRUE(Exists("out/13.rdy"));
}

TEST_F(BackendTest, LargePostedDataIsReportedWithItsSizeAndAShortPreview) {
  Backend backend(options_, report_);
  std::string error;
  ASSERT_TRUE(backend.Start(error));
  std::string stored;
  for (int i = 0; i < 100000; ++i) stored += "line\r\n";
  Put("post/4.txt", stored);
  Put("post/4.rdy", "500000");
  backend.ScanOnce(Backend::Clock::now());
  EXPECT_EQ(CountLines("posted 4: received=500000 stored=600000 data=line\\x0Aline"), 1)
      << report_.str();
  EXPECT_LT(report_.str().size(), 300u);
}

TEST_F(BackendTest, DelayHoldsTheAnswerBack) {
  options_.delay = 500ms;
  Backend backend(options_, report_);
  std::string error;
  ASSERT_TRUE(backend.Start(error));
  Spool("2", "hello");
  const auto now = Backend::Clock::now();
  backend.ScanOnce(now);
  backend.ScanOnce(now + 400ms);
  EXPECT_FALSE(Exists("out/2.rdy"));
  backend.ScanOnce(now + 600ms);
  EXPECT_TRUE(Exists("out/2.rdy"));
}

TEST_F(BackendTest, ListWritesTheRightsListAndDocumentAnswerNamesTheFile) {
  Backend backend(options_, report_);
  std::string error;
  ASSERT_TRUE(backend.Start(error));
  Spool("10", "getlist");
  Spool("11", "getdoc", "a.pdf");
  backend.ScanOnce(Backend::Clock::now());
  EXPECT_EQ(Read("rights/~anna.lst"), root_ + "/docs/a.pdf\r\n");
  std::string line = "\\\\" + root_.substr(1) + "\\docs\\a.pdf\r\n";
  for (char& c : line) c = c == '/' ? '\\' : c;
  EXPECT_EQ(Read("out/11.htm"), line);
}

TEST_F(BackendTest, PostedDataConsumedOnceWhenItsReadyFileIsComplete) {
  Backend backend(options_, report_);
  std::string error;
  ASSERT_TRUE(backend.Start(error));
  Put("post/7.txt", "a\r\nb");
  Put("post/7.rdy", "");  // created, its length not yet written
  const auto now = Backend::Clock::now();
  backend.ScanOnce(now);
  EXPECT_EQ(CountLines("posted 7"), 0);
  Put("post/7.rdy", "3");
  backend.ScanOnce(now + 10ms);
  backend.ScanOnce(now + 20ms);
  EXPECT_EQ(CountLines("posted 7: received=3 stored=4 data=a\\x0Ab"), 1) << report_.str();
}

// Consumed posted data is removed (ready file and data file), so the
// module's store never walks past numbers that are done with; a ready file
// whose data is missing goes too. The report keeps a digest of the bytes.
TEST_F(BackendTest, ConsumedPostedDataIsRemoved) {
  Backend backend(options_, report_);
  std::string error;
  ASSERT_TRUE(backend.Start(error));
  Put("post/8.txt", "abc");
  Put("post/8.rdy", "3");
  Put("post/9.rdy", "5");
  Put("post/10.txt", "still being written");
  backend.ScanOnce(Backend::Clock::now());
  // FNV-1a of "abc".
  EXPECT_EQ(CountLines("posted 8: received=3 stored=3 data=abc fnv1a=e71fa2190541574b"), 1)
      << report_.str();
  EXPECT_EQ(CountLines("posted 9: ready file without data file"), 1) << report_.str();
  for (const char* gone : {"post/8.txt", "post/8.rdy", "post/9.rdy"}) EXPECT_FALSE(Exists(gone));
  EXPECT_TRUE(Exists("post/10.txt"));
}

TEST_F(BackendTest, EventLinesReportedOnceEachAndOnlyWhole) {
  Backend backend(options_, report_);
  std::string error;
  ASSERT_TRUE(backend.Start(error));
  const auto now = Backend::Clock::now();
  Append("events/anna.evt", "one;two;three\r\n;;\r\nhalf");
  backend.ScanOnce(now);
  EXPECT_EQ(CountLines("event anna: one;two;three"), 1);
  EXPECT_EQ(CountLines("event anna: ;;"), 1);
  EXPECT_EQ(CountLines("event anna: half"), 0);
  Append("events/anna.evt", ";way\r\n");
  backend.ScanOnce(now + 10ms);
  EXPECT_EQ(CountLines("event anna: half;way"), 1);
  EXPECT_EQ(CountLines("event anna: one;two;three"), 1);
  // A file replaced by a shorter one is read from its start.
  fs::remove(root_ + "/events/anna.evt");
  Append("events/anna.evt", "new\r\n");
  backend.ScanOnce(now + 20ms);
  EXPECT_EQ(CountLines("event anna: new"), 1) << report_.str();
}

// Several instances share one spool: a request or posted data claimed by
// another instance (its claim file in claims/) is left to it, until the
// claim is older than the timeout (its holder died) and is taken over.
TEST_F(BackendTest, WorkClaimedByAnotherInstanceIsLeftToItUntilTheClaimTimesOut) {
  options_.claim_timeout = 5s;
  Backend backend(options_, report_);
  std::string error;
  ASSERT_TRUE(backend.Start(error)) << error;
  Spool("3", "hello");
  Put("post/4.txt", "abc");
  Put("post/4.rdy", "3");
  const std::string request_claim = "claims/req-3-" + std::to_string(Inode("in/3.req"));
  const std::string post_claim = "claims/post-4-" + std::to_string(Inode("post/4.rdy"));
  Put(request_claim, "other 1\n");
  Put(post_claim, "other 1\n");
  auto now = Backend::Clock::now();
  backend.ScanOnce(now);
  backend.ScanOnce(now + 1100ms);
  EXPECT_EQ(CountLines("answered"), 0) << report_.str();
  EXPECT_EQ(CountLines("posted"), 0) << report_.str();
  EXPECT_FALSE(Exists("out/3.rdy"));
  EXPECT_TRUE(Exists("post/4.rdy"));
  MakeOld(request_claim);
  MakeOld(post_claim);
  backend.ScanOnce(now + 2200ms);
  EXPECT_EQ(CountLines("answered 3 "), 1) << report_.str();
  EXPECT_EQ(CountLines("posted 4: received=3 stored=3"), 1) << report_.str();
  EXPECT_TRUE(Exists("out/3.rdy"));
}

// What an instance claims it does once, and its claims go once the work is
// gone and they are older than the timeout.
TEST_F(BackendTest, OwnClaimsAreMadeOnceAndSweptWhenTheirFilesAreGone) {
  options_.claim_timeout = 5s;
  Backend backend(options_, report_);
  std::string error;
  ASSERT_TRUE(backend.Start(error)) << error;
  Spool("6", "hello");
  const std::string claim = "claims/req-6-" + std::to_string(Inode("in/6.req"));
  auto now = Backend::Clock::now();
  backend.ScanOnce(now);
  EXPECT_EQ(CountLines("answered 6 "), 1) << report_.str();
  EXPECT_TRUE(Exists(claim));
  fs::remove(root_ + "/in/6.req");  // picked up
  backend.ScanOnce(now + 20s);
  EXPECT_TRUE(Exists(claim));  // younger than the timeout
  MakeOld(claim);
  backend.ScanOnce(now + 40s);
  EXPECT_FALSE(Exists(claim));
}

// The module puts a ready file in place whole, its length in it; one without
// a length is never taken, however long it stays (it once was after a
// grace of two seconds, a wait for the module's second write).
TEST_F(BackendTest, RegressionReadyFileWithoutLengthIsNotTakenAfterAGrace) {
  Backend backend(options_, report_);
  std::string error;
  ASSERT_TRUE(backend.Start(error));
  Put("post/11.txt", "abc");
  Put("post/11.rdy", "");
  const auto now = Backend::Clock::now();
  backend.ScanOnce(now);
  std::this_thread::sleep_for(options_.incomplete_grace + 50ms);
  backend.ScanOnce(now + 10s);
  EXPECT_EQ(CountLines("posted 11"), 0) << report_.str();
  EXPECT_TRUE(Exists("post/11.txt"));
}

// A request nobody polled and the back-end never answered (it was down):
// once its files are older than the ticket lifetime they go unanswered.
TEST_F(BackendTest, AbandonedTicketIsRemovedNotAnswered) {
  options_.ticket_lifetime = 30s;
  Backend backend(options_, report_);
  std::string error;
  ASSERT_TRUE(backend.Start(error));
  Spool("14", "hello");
  Put("out/14.tmp", "wait page");
  for (const char* file : {"in/14.req", "in/14.srv", "out/14.tmp"}) MakeOld(file);
  Spool("15", "hello");
  backend.ScanOnce(Backend::Clock::now());
  EXPECT_EQ(CountLines("expired 1 tickets"), 1) << report_.str();
  for (const char* file : {"in/14.req", "in/14.srv", "out/14.tmp", "out/14.htm"}) {
    EXPECT_FALSE(Exists(file)) << file;
  }
  EXPECT_EQ(CountLines("answered 14 "), 0) << report_.str();
  EXPECT_EQ(CountLines("answered 15 "), 1) << report_.str();
}

TEST_F(BackendTest, StartRefusesARootWithoutSpoolDirectories) {
  fs::remove(root_ + "/post");
  Backend backend(options_, report_);
  std::string error;
  EXPECT_FALSE(backend.Start(error));
  EXPECT_NE(error.find("post"), std::string::npos);
}

// Both watch modes, through Run on a thread: the answer appears within a
// bounded time and Run returns once asked to stop.
class BackendRunTest : public BackendTest, public ::testing::WithParamInterface<bool> {};

TEST_P(BackendRunTest, RunAnswersAndStops) {
  options_.force_polling = GetParam();
  Backend backend(options_, report_);
  std::string error;
  ASSERT_TRUE(backend.Start(error));
  EXPECT_EQ(backend.using_inotify(), !GetParam());
  std::atomic<bool> stop{false};
  std::thread runner([&] { backend.Run(stop); });
  Spool("12", "hello");
  // A bound for a back-end that never answers, far past what a loaded
  // machine takes: the verdict is whether the answer came.
  const auto deadline = std::chrono::steady_clock::now() + 60s;
  while (!Exists("out/12.rdy") && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(5ms);
  }
  stop = true;
  runner.join();
  EXPECT_TRUE(Exists("out/12.rdy"));
  EXPECT_NE(Read("out/12.htm").find("hello"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(WatchModes, BackendRunTest, ::testing::Values(false, true),
                         [](const auto& param_info) {
                           return param_info.param ? "Polling" : "Inotify";
                         });

}  // namespace
}  // namespace tools
