// DoCommand cases that need POSIX file names: an install root whose path
// holds "<" and ">", which Windows does not allow in a name, and named pipes
// where the module expects files; and polls of kept spool files, whose times
// the tests set with utimensat (Windows keeps no spool file).
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>

#include "tests/commands/query_test_support.h"
#include "tests/harness/pipe_watchdog.h"
#include "tests/harness/temp_dir.h"
#include "tests/spool/kept_files.h"

namespace commands {
namespace {

using testing::AnsweredPoll;
using testing::BackslashName;
using testing::DoCommandQuery;
using testing::RunQuery;
using testing::TicketOf;

TEST(DoCommandTest, ErrorPageEscapesTheSpoolErrorText) {
  // An install root whose path holds HTML: the error text shows it escaped.
  harness::TempDir base;
  base.MakeDir("a&<b>");
  const char* old_tmpdir = std::getenv("TMPDIR");
  const std::string saved = old_tmpdir != nullptr ? old_tmpdir : "";
  setenv("TMPDIR", base.Path("a&<b>").c_str(), 1);
  {
    harness::SpoolRoot root;
    std::filesystem::remove_all(root.Path("in"));
    const std::string page = RunQuery(DoCommandQuery("anna", "getlist")).body();
    std::string shown = root.Path("in/");
    shown.replace(shown.find("a&<b>"), 5, "a&amp;&lt;b&gt;");
    EXPECT_NE(page.find("<body>Can't create " + shown), std::string::npos) << page;
  }
  if (old_tmpdir != nullptr) {
    setenv("TMPDIR", saved.c_str(), 1);
  } else {
    unsetenv("TMPDIR");
  }
}

// `page` with the root's path, as the module writes it and as answers name
// files, written "<root>": pages of two roots compare alike.
std::string WithoutRoot(std::string page, const harness::TempDir& root) {
  for (const std::string& path : {root.path(), BackslashName(root.path())}) {
    for (std::size_t at = page.find(path); at != std::string::npos; at = page.find(path, at)) {
      page.replace(at, path.size(), "<root>");
    }
  }
  return page;
}

// A named pipe where the module opens a file (named by an answer, a rights
// list, a pointer file, a spool file) used to hold the worker until some
// process wrote to it. It is now refused at once, and the request is answered
// as if the file were missing.
TEST(DoCommandTest, RegressionNamedPipeWhereAFileIsExpectedDoesNotHoldTheWorker) {
  // Leaves nothing at `relative` under the root, or a pipe.
  using Place = std::function<void(const harness::SpoolRoot&, const std::string&)>;
  const Place nothing = [](const harness::SpoolRoot& root, const std::string& relative) {
    std::filesystem::remove(root.Path(relative));
  };
  const Place pipe = [](const harness::SpoolRoot& root, const std::string& relative) {
    std::filesystem::remove(root.Path(relative));
    ASSERT_EQ(mkfifo(root.Path(relative).c_str(), 0600), 0) << relative;
  };
  // A new request for `command`, answered by the back-end; `answer_file` is
  // replaced before the poll: "htm" (the answer) or "tmp" (the wait file).
  const auto poll_with = [](const harness::SpoolRoot& root, const Place& place,
                            const std::string& answer_file) {
    const std::string ticket = TicketOf(RunQuery(DoCommandQuery("anna", "getlist")).body());
    root.WriteFile("out/" + ticket + ".htm", "answer\r\n");
    root.WriteFile("out/" + ticket + ".rdy", "");
    place(root, "out/" + ticket + "." + answer_file);
    return RunQuery(DoCommandQuery("anna", "getlist", ticket)).body();
  };
  struct Case {
    const char* where;
    std::function<std::string(const harness::SpoolRoot&, const Place&)> body;
  };
  const Case cases[] = {
      {"download named by the answer",
       [](const harness::SpoolRoot& root, const Place& place) {
         root.MakeDir("files");
         place(root, "files/a.pdf");
         return AnsweredPoll(root, "getdoc", BackslashName(root.Path("files/a.pdf")) + "\n").body();
       }},
      {"answer file", [&](const harness::SpoolRoot& root,
                          const Place& place) { return poll_with(root, place, "htm"); }},
      {"wait file", [&](const harness::SpoolRoot& root,
                        const Place& place) { return poll_with(root, place, "tmp"); }},
      {"rights list",
       [](const harness::SpoolRoot& root, const Place& place) {
         root.MakeDir("files");
         root.WriteFile("files/a.pdf", "x");
         place(root, "rights/~anna.lst");
         const std::string name = BackslashName(root.Path("files/a.pdf"));
         return RunQuery(DoCommandQuery("anna", "getfiledata", name, "0", "1")).body();
       }},
      {"pointer file",
       [](const harness::SpoolRoot& root, const Place& place) {
         place(root, "dudarovuvadu.dir");
         return RunQuery(DoCommandQuery("anna", "getlist")).body();
       }},
  };
  for (const Case& c : cases) {
    std::string missing;
    {
      harness::SpoolRoot root;
      missing = WithoutRoot(c.body(root, nothing), root);
    }
    harness::SpoolRoot root;
    const harness::PipeWatchdog watchdog(root.path());
    const std::string piped = WithoutRoot(c.body(root, pipe), root);
    EXPECT_FALSE(watchdog.fired()) << c.where;
    EXPECT_EQ(piped, missing) << c.where;
  }
}

// A pointer file that is there but cannot be read used to leave the root to
// the module's directory: the request was spooled where no back-end looks.
// It now fails with the error page. `request` runs the request with the
// pointer file made unreadable in the module's directory.
void ExpectUnreadablePointerFileSpoolsNothing(
    const std::function<std::string(const harness::SpoolRoot&)>& request) {
  // The module's directory has a spool tree of its own; the pointer file
  // names another one.
  harness::SpoolRoot module_directory;
  harness::SpoolRoot pointed;
  module_directory.WriteFile("dudarovuvadu.dir", pointed.path() + "\r\n");
  platform::testing::OverrideModulePath(module_directory.Path(platform::kModuleFileName));
  const std::string page = request(module_directory);
  EXPECT_NE(page.find("Can't read " + module_directory.Path("dudarovuvadu.dir")), std::string::npos)
      << page;
  EXPECT_TRUE(std::filesystem::is_empty(module_directory.Path("in")));
  EXPECT_TRUE(std::filesystem::is_empty(pointed.Path("in")));
}

TEST(DoCommandTest, RegressionPointerFileUnreadForWantOfDescriptorsSpoolsNothing) {
#if defined(__SANITIZE_ADDRESS__)
  // The sanitizers' own checks (UBSan's vptr check probes memory through a
  // pipe) need descriptors too; the ordinary build runs this case.
  GTEST_SKIP() << "the sanitizer runtime needs descriptors this case takes away";
#endif
  ExpectUnreadablePointerFileSpoolsNothing([](const harness::SpoolRoot&) {
    // The lowest free descriptor becomes the limit: the next open fails.
    const int lowest_free = dup(0);
    close(lowest_free);
    rlimit saved{};
    EXPECT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit none_left = saved;
    none_left.rlim_cur = static_cast<rlim_t>(lowest_free);
    EXPECT_EQ(setrlimit(RLIMIT_NOFILE, &none_left), 0);
    std::string page = RunQuery(DoCommandQuery("anna", "getlist")).body();
    EXPECT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
    return page;
  });
}

TEST(DoCommandTest, RegressionPointerFileWithoutReadPermissionSpoolsNothing) {
  if (geteuid() == 0) GTEST_SKIP() << "run as root, which may read any file";
  ExpectUnreadablePointerFileSpoolsNothing([](const harness::SpoolRoot& root) {
    std::filesystem::permissions(root.Path("dudarovuvadu.dir"), std::filesystem::perms::none);
    return RunQuery(DoCommandQuery("anna", "getlist")).body();
  });
}

// Polls of a basket answer, with the cache's clock and the file system's
// times under the test's control.
class DoCommandPollOfKeptFilesTest : public spool::KeptSpoolFilesTest {
 protected:
  // Spools a basket request and answers it; returns its poll's query.
  std::string AnsweredBasket(const harness::SpoolRoot& root, const std::string& answer) {
    wait_page_ = RunQuery(DoCommandQuery("anna", "getqvpanier")).body();
    ticket_ = TicketOf(wait_page_);
    EXPECT_FALSE(ticket_.empty());
    testing::AnswerTicket(root, ticket_, answer);
    return DoCommandQuery("anna", "getqvpanier", ticket_);
  }
  std::string wait_page_;
  std::string ticket_;
};

// A file system whose times stay those of one tick (the test's), and a cache
// clock a millisecond into that tick: every rewrite keeps the stamp.
constexpr std::int64_t kTickNs = spool::kPastSeconds * 1'000'000'000 + 123'456'789;
void TimesOfOneTick(platform::FileStamp& stamp) { stamp.modified_ns = stamp.changed_ns = kTickNs; }
std::int64_t ClockInTheTick() { return kTickNs + 1'000'000; }

TEST_F(DoCommandPollOfKeptFilesTest, AnswerRewrittenInPlaceAtTheSameSizeWithinOneTickIsDelivered) {
  harness::SpoolRoot root;
  spool::testing::SetStampFilter(&TimesOfOneTick);
  spool::testing::SetCacheClock(&ClockInTheTick);
  const std::string poll = AnsweredBasket(root, "first answer\n");
  EXPECT_EQ(RunQuery(poll).body(), "first answer\n");
  root.WriteFile("out/" + ticket_ + ".htm", testing::StoredText("other answer\n"));
  EXPECT_EQ(RunQuery(poll).body(), "other answer\n");
  EXPECT_EQ(spool::CountTextFileCache().kept, 0);
}

TEST_F(DoCommandPollOfKeptFilesTest, ReadyFlagRemovedOrSetAgainIsSeenByTheNextPoll) {
  harness::SpoolRoot root;
  const std::string poll = AnsweredBasket(root, "basket\n");
  for (const std::string& name :
       {"out/" + ticket_ + ".tmp", "out/" + ticket_ + ".htm", "out/" + ticket_ + ".rdy"}) {
    spool::SetModifiedTime(root.Path(name), spool::kPastSeconds);
  }
  EXPECT_EQ(RunQuery(poll).body(), "basket\n");
  EXPECT_EQ(RunQuery(poll).body(), "basket\n");
  EXPECT_EQ(spool::CountTextFileCache().served, 2);  // the wait page and the answer
  // The ready flag removed (a new request of the number): the wait page.
  ASSERT_EQ(std::remove(root.Path("out/" + ticket_ + ".rdy").c_str()), 0);
  EXPECT_EQ(RunQuery(poll).body(), wait_page_);
  // That request spooled and answered: its request files go at the pick-up.
  root.WriteFile("in/" + ticket_ + ".req", "request\r\n");
  root.WriteFile("in/" + ticket_ + ".srv", "server\r\n");
  root.WriteFile("out/" + ticket_ + ".rdy", "");
  spool::SetModifiedTime(root.Path("out/" + ticket_ + ".rdy"), spool::kPastSeconds + 1);
  EXPECT_EQ(RunQuery(poll).body(), "basket\n");
  EXPECT_FALSE(root.Exists("in/" + ticket_ + ".req"));
  EXPECT_FALSE(root.Exists("in/" + ticket_ + ".srv"));
}

}  // namespace
}  // namespace commands
