// The kit's C interface through the shared library, as a back-end uses it,
// against a spool tree in a temporary directory: each call's work and its
// errors (missing folders, a request file cut short, a full disk on an
// answer, a request gone, values the module could not use).

#include "dudarovuvadu/backend_kit.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

namespace {

namespace fs = std::filesystem;

struct SpoolClose {
  void operator()(dbk_spool* spool) const { dbk_spool_close(spool); }
};
struct WorkFree {
  void operator()(dbk_work* work) const { dbk_work_free(work); }
};
using SpoolHandle = std::unique_ptr<dbk_spool, SpoolClose>;
using Work = std::unique_ptr<dbk_work, WorkFree>;

constexpr uint32_t kGraceMs = 100;

class KitCInterfaceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/c_interface_test.XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    root_ = pattern;
    for (const char* dir : {"in", "out", "traces", "post", "rights", "events"}) {
      fs::create_directory(root_ + "/" + dir);
    }
    dbk_options_init(&options_);
    options_.force_polling = 1;
    options_.incomplete_grace_ms = kGraceMs;
  }
  void TearDown() override { fs::remove_all(root_); }

  SpoolHandle Open() {
    dbk_spool* spool = nullptr;
    EXPECT_EQ(dbk_spool_open(root_.c_str(), &options_, &spool), DBK_OK)
        << (spool ? dbk_spool_last_error(spool) : "");
    return SpoolHandle(spool);
  }
  void Put(const std::string& relative, const std::string& bytes) {
    std::ofstream(root_ + "/" + relative, std::ios::binary) << bytes;
  }
  std::string Read(const std::string& relative) {
    std::ifstream in(root_ + "/" + relative, std::ios::binary);
    if (!in) return "<missing>";
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
  }
  bool Exists(const std::string& relative) { return fs::exists(root_ + "/" + relative); }
  // A request as the module writes it: server file, then request file.
  void SpoolRequest(const std::string& ticket, const std::string& command) {
    Put("in/" + ticket + ".srv", "http\r\nportal.example\r\n8080\r\n");
    Put("in/" + ticket + ".req",
        "/scripts/dudarovuvadu.dll\r\nanna\r\n" + command + "\r\n" + ticket + "\r\nx\r\ny\r\n");
  }
  // One listing at `at_ms`, then the work it queued (null when none).
  Work Next(dbk_spool* spool, uint64_t at_ms) {
    EXPECT_EQ(dbk_step(spool, at_ms), DBK_OK);
    dbk_work* work = nullptr;
    const dbk_result result = dbk_take(spool, &work);
    EXPECT_TRUE(result == DBK_OK || result == DBK_TIMEOUT) << result;
    return Work(work);
  }
  static std::string Field(const dbk_work* work, dbk_field field) {
    const char* value = nullptr;
    size_t length = 0;
    if (dbk_request_field(work, field, &value, &length) != DBK_OK) return "<error>";
    return std::string(value, length);
  }

  std::string root_;
  dbk_options options_{};
  const uint64_t start_ = dbk_now_ms();
};

TEST_F(KitCInterfaceTest, OpenRefusesARootWithoutEachSpoolFolder) {
  for (const char* folder : {"in", "out", "post", "rights", "events"}) {
    fs::rename(root_ + "/" + folder, root_ + "/moved");
    dbk_spool* spool = nullptr;
    EXPECT_EQ(dbk_spool_open(root_.c_str(), &options_, &spool), DBK_ERROR_NO_SPOOL) << folder;
    ASSERT_NE(spool, nullptr);
    EXPECT_NE(std::string(dbk_spool_last_error(spool)).find(folder), std::string::npos);
    dbk_work* work = nullptr;
    EXPECT_EQ(dbk_next(spool, 0, &work), DBK_ERROR_STATE);
    dbk_spool_close(spool);
    fs::rename(root_ + "/moved", root_ + "/" + folder);
  }
  dbk_spool* spool = nullptr;
  EXPECT_EQ(dbk_spool_open(nullptr, &options_, &spool), DBK_ERROR_ARGUMENT);
  dbk_options old_size = options_;
  old_size.struct_size = 4;
  EXPECT_EQ(dbk_spool_open(root_.c_str(), &old_size, &spool), DBK_ERROR_ARGUMENT);
  EXPECT_EQ(spool, nullptr);
}

TEST_F(KitCInterfaceTest, RequestIsHandedOutOnceAndAnsweredOnce) {
  SpoolHandle spool = Open();
  SpoolRequest("5", "getlist");
  Work work = Next(spool.get(), start_);
  ASSERT_TRUE(work);
  EXPECT_EQ(dbk_work_kind(work.get()), DBK_REQUEST);
  EXPECT_STREQ(dbk_work_name(work.get()), "5");
  EXPECT_EQ(dbk_request_problem(work.get()), nullptr);
  EXPECT_EQ(Field(work.get(), DBK_LOGON), "anna");
  EXPECT_EQ(Field(work.get(), DBK_COMMAND), "getlist");
  EXPECT_EQ(Field(work.get(), DBK_P3), "y");
  EXPECT_EQ(Field(work.get(), DBK_SERVER_PORT), "8080");
  const char* url = nullptr;
  ASSERT_EQ(dbk_request_url(work.get(), &url), DBK_OK);
  EXPECT_STREQ(url, "http://portal.example:8080/scripts/dudarovuvadu.dll");
  EXPECT_FALSE(Next(spool.get(), start_ + 10));  // handed out once

  const std::string page = "<p>one\ntwo</p>\n";
  ASSERT_EQ(dbk_answer(work.get(), page.data(), page.size()), DBK_OK);
  EXPECT_EQ(Read("out/5.htm"), "<p>one\r\ntwo</p>\r\n");
  EXPECT_TRUE(Exists("out/5.rdy"));
  EXPECT_EQ(dbk_answer(work.get(), "x", 1), DBK_ERROR_STATE);
}

TEST_F(KitCInterfaceTest, RequestCutShortIsHandedOutAsMalformedAfterTheGrace) {
  SpoolHandle spool = Open();
  Put("in/6.req", "/scripts/dudarovuvadu.dll\r\nanna\r\n");
  EXPECT_FALSE(Next(spool.get(), start_));  // the module may still be writing it
  Work work = Next(spool.get(), start_ + kGraceMs + 10);
  ASSERT_TRUE(work);
  ASSERT_NE(dbk_request_problem(work.get()), nullptr);
  EXPECT_NE(std::string(dbk_request_problem(work.get())).find("2 lines"), std::string::npos);
  const char* value = nullptr;
  size_t length = 0;
  EXPECT_EQ(dbk_request_field(work.get(), DBK_LOGON, &value, &length), DBK_ERROR_MALFORMED);
  EXPECT_EQ(dbk_request_url(work.get(), &value), DBK_ERROR_MALFORMED);
  EXPECT_EQ(dbk_answer(work.get(), "bad\n", 4), DBK_OK);  // an error page still goes out
  EXPECT_TRUE(Exists("out/6.rdy"));
}

// A disk that is full after 100 bytes: the answer fails whole, with no
// answer, flag or temporary file left, and succeeds once there is room.
TEST_F(KitCInterfaceTest, FullDiskOnAnAnswerLeavesNothingUnderAFinalName) {
  SpoolHandle spool = Open();
  SpoolRequest("7", "hello");
  Work work = Next(spool.get(), start_);
  ASSERT_TRUE(work);
  const std::string page(1000, 'a');
  std::signal(SIGXFSZ, SIG_IGN);
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  rlimit full = saved;
  full.rlim_cur = 100;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &full), 0);
  const dbk_result result = dbk_answer(work.get(), page.data(), page.size());
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &saved), 0);
  EXPECT_EQ(result, DBK_ERROR_IO);
  EXPECT_NE(std::string(dbk_spool_last_error(spool.get())), "");
  EXPECT_TRUE(fs::is_empty(root_ + "/out"));  // no answer, flag or temporary file
  EXPECT_EQ(dbk_answer(work.get(), page.data(), page.size()), DBK_OK);
  EXPECT_EQ(Read("out/7.htm"), page);
}

// Picked up meanwhile and its number drawn again: the new request's files
// are not the old work's to answer.
TEST_F(KitCInterfaceTest, AnswerToARequestGoneIsRefused) {
  SpoolHandle spool = Open();
  SpoolRequest("8", "hello");
  Work work = Next(spool.get(), start_);
  ASSERT_TRUE(work);
  fs::rename(root_ + "/in/8.req", root_ + "/in/old");
  SpoolRequest("8", "newer");
  EXPECT_EQ(dbk_answer(work.get(), "x\n", 2), DBK_ERROR_GONE);
  EXPECT_FALSE(Exists("out/8.htm"));
}

TEST_F(KitCInterfaceTest, DownloadAnswerNamesTheFileOrIsRefused) {
  SpoolHandle spool = Open();
  SpoolRequest("9", "getdoc");
  Work work = Next(spool.get(), start_);
  ASSERT_TRUE(work);
  EXPECT_EQ(dbk_answer_download(work.get(), "docs/a.pdf"), DBK_ERROR_NOT_ALLOWED);
  EXPECT_EQ(dbk_answer_download(work.get(), ("/" + std::string(300, 'a')).c_str()),
            DBK_ERROR_NOT_ALLOWED);
  EXPECT_FALSE(Exists("out/9.htm"));
  ASSERT_EQ(dbk_answer_download(work.get(), "/srv/docs/a.pdf"), DBK_OK);
  EXPECT_EQ(Read("out/9.htm"), "\\\\srv\\docs\\a.pdf\r\n");
}

TEST_F(KitCInterfaceTest, ReleasedRequestIsHandedOutAgain) {
  SpoolHandle spool = Open();
  SpoolRequest("10", "hello");
  Work work = Next(spool.get(), start_);
  ASSERT_TRUE(work);
  EXPECT_FALSE(fs::is_empty(root_ + "/claims"));
  EXPECT_EQ(dbk_work_release(work.release()), DBK_OK);
  EXPECT_TRUE(fs::is_empty(root_ + "/claims"));
  Work again = Next(spool.get(), start_ + 10);
  ASSERT_TRUE(again);
  EXPECT_STREQ(dbk_work_name(again.get()), "10");
}

TEST_F(KitCInterfaceTest, PostedBodyAndEventLines) {
  SpoolHandle spool = Open();
  Put("post/4.txt", "a\r\nb");
  Put("post/4.rdy", "3");
  Put("events/anna.evt", "p1;p2;p3\r\nhalf");
  Work posted = Next(spool.get(), start_);
  ASSERT_TRUE(posted);
  ASSERT_EQ(dbk_work_kind(posted.get()), DBK_POSTED);
  uint64_t received = 0;
  ASSERT_EQ(dbk_posted_length(posted.get(), &received), DBK_OK);
  EXPECT_EQ(received, 3u);
  EXPECT_EQ(std::string(dbk_posted_path(posted.get())), root_ + "/post/4.txt");
  EXPECT_EQ(dbk_answer(posted.get(), "x", 1), DBK_ERROR_ARGUMENT);
  ASSERT_EQ(dbk_posted_done(posted.get()), DBK_OK);
  EXPECT_FALSE(Exists("post/4.txt"));
  EXPECT_FALSE(Exists("post/4.rdy"));

  dbk_work* event = nullptr;
  ASSERT_EQ(dbk_take(spool.get(), &event), DBK_OK);
  Work owned(event);
  ASSERT_EQ(dbk_work_kind(event), DBK_EVENT);
  EXPECT_STREQ(dbk_work_name(event), "anna");
  const char* line = nullptr;
  size_t length = 0;
  ASSERT_EQ(dbk_event_line(event, &line, &length), DBK_OK);
  EXPECT_EQ(std::string(line, length), "p1;p2;p3");
  EXPECT_EQ(dbk_take(spool.get(), &event), DBK_TIMEOUT);  // "half" is not a line yet
}

TEST_F(KitCInterfaceTest, RightsListsGrantRevokeAndRefusals) {
  SpoolHandle spool = Open();
  ASSERT_EQ(dbk_rights_grant(spool.get(), "anna", "/docs/a[20]b.pdf"), DBK_OK);
  ASSERT_EQ(dbk_rights_grant(spool.get(), "anna", "/docs/a[20]b.pdf"), DBK_OK);
  ASSERT_EQ(dbk_rights_grant(spool.get(), "anna", "/docs/c.pdf"), DBK_OK);
  EXPECT_EQ(Read("rights/~anna.lst"), "/docs/a[20]b.pdf\r\n/docs/c.pdf\r\n");
  ASSERT_EQ(dbk_rights_revoke(spool.get(), "anna", "/docs/a[20]b.pdf"), DBK_OK);
  EXPECT_EQ(Read("rights/~anna.lst"), "/docs/c.pdf\r\n");
  const char* entries[] = {"/x", "/y"};
  ASSERT_EQ(dbk_rights_set(spool.get(), "anna", entries, 2), DBK_OK);
  EXPECT_EQ(Read("rights/~anna.lst"), "/x\r\n/y\r\n");

  EXPECT_EQ(dbk_rights_grant(spool.get(), "a/b", "/x"), DBK_ERROR_NOT_ALLOWED);
  EXPECT_EQ(dbk_rights_grant(spool.get(), "anna", "/x\n/etc/passwd"), DBK_ERROR_NOT_ALLOWED);
  EXPECT_EQ(dbk_rights_grant(spool.get(), "anna", ("/" + std::string(1022, 'a')).c_str()),
            DBK_ERROR_NOT_ALLOWED);
  EXPECT_EQ(Read("rights/~anna.lst"), "/x\r\n/y\r\n");
  fs::remove_all(root_ + "/rights");
  EXPECT_EQ(dbk_rights_grant(spool.get(), "anna", "/z"), DBK_ERROR_IO);
  EXPECT_NE(std::string(dbk_spool_last_error(spool.get())).find("anna"), std::string::npos);
}

// A ticket two hours old: kept with the lifetime 0 (never), removed and
// counted with the default hour.
TEST_F(KitCInterfaceTest, AbandonedTicketsGoUnlessTheLifetimeIsZero) {
  SpoolRequest("12", "hello");
  Put("out/12.rdy", "");  // answered, never picked up
  const timespec two_hours_ago[2] = {{::time(nullptr) - 7200, 0}, {::time(nullptr) - 7200, 0}};
  for (const char* file : {"in/12.req", "in/12.srv", "out/12.rdy"}) {
    ASSERT_EQ(::utimensat(AT_FDCWD, (root_ + "/" + file).c_str(), two_hours_ago, 0), 0);
  }
  options_.ticket_lifetime_s = 0;
  {
    SpoolHandle spool = Open();
    EXPECT_FALSE(Next(spool.get(), start_));
    EXPECT_EQ(dbk_spool_expired_tickets(spool.get()), 0u);
    EXPECT_TRUE(Exists("in/12.req"));
  }
  options_.ticket_lifetime_s = 3600;
  SpoolHandle spool = Open();
  EXPECT_FALSE(Next(spool.get(), start_));
  EXPECT_EQ(dbk_spool_expired_tickets(spool.get()), 1u);
  EXPECT_TRUE(fs::is_empty(root_ + "/in"));
  EXPECT_TRUE(fs::is_empty(root_ + "/out"));
}

TEST_F(KitCInterfaceTest, NextWaitsForWorkOrTimesOut) {
  SpoolHandle spool = Open();
  dbk_work* work = nullptr;
  EXPECT_EQ(dbk_next(spool.get(), 20, &work), DBK_TIMEOUT);
  EXPECT_EQ(work, nullptr);
  SpoolRequest("11", "hello");
  ASSERT_EQ(dbk_next(spool.get(), 5000, &work), DBK_OK);
  Work owned(work);
  EXPECT_STREQ(dbk_work_name(work), "11");
}

TEST(KitCInterfaceTextTest, EscapesAndDownloadLines) {
  char* out = nullptr;
  size_t length = 0;
  ASSERT_EQ(dbk_escape(DBK_ESCAPE_FILE_NAME, "/a b", 4, &out, &length), DBK_OK);
  EXPECT_EQ(std::string(out, length), "/a[20]b");
  dbk_free(out);
  ASSERT_EQ(dbk_escape(DBK_ESCAPE_HTML, "<&>", 3, &out, nullptr), DBK_OK);
  EXPECT_STREQ(out, "&lt;&amp;&gt;");
  dbk_free(out);
  EXPECT_EQ(dbk_escape(DBK_ESCAPE_HTML, nullptr, 1, &out, nullptr), DBK_ERROR_ARGUMENT);
  EXPECT_EQ(dbk_download_line("relative", &out), DBK_ERROR_NOT_ALLOWED);
  EXPECT_EQ(out, nullptr);
}

}  // namespace
