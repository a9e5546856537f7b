// Removal of abandoned tickets against a spool tree whose file times are set
// explicitly: what is old goes whole, what is not stays, and a number the
// module takes again during a sweep is left to it.

#include "backend_kit/ticket_sweep.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace backend_kit {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr std::time_t kOld = 1700000000;  // every file's time unless said otherwise
constexpr std::chrono::seconds kLifetime{3600};
const auto kNow = std::chrono::system_clock::from_time_t(kOld) + kLifetime + 1s;
constexpr std::time_t kRecent = kOld + 3000;  // changed within the lifetime at kNow
const char* const kTicketFiles[] = {"in/7.req", "in/7.srv", "out/7.tmp", "out/7.htm", "out/7.rdy"};

class KitTicketSweepTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/ticket_sweep_test.XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    root_ = pattern;
    fs::create_directory(root_ + "/in");
    fs::create_directory(root_ + "/out");
  }
  void TearDown() override { fs::remove_all(root_); }

  // Writes a file and sets its modification time.
  void Put(const std::string& relative, std::time_t when = kOld) {
    const std::string path = root_ + "/" + relative;
    std::ofstream(path, std::ios::binary) << "x\r\n";
    const timespec times[2] = {{when, 0}, {when, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << relative;
  }
  bool Exists(const std::string& relative) { return fs::exists(root_ + "/" + relative); }

  std::string root_;
};

TEST_F(KitTicketSweepTest, AbandonedTicketGoesWholeAndOtherNamesStay) {
  for (const char* file : kTicketFiles) Put(file);
  for (const char* other :
       {"out/wait.tmp", "in/07.req", "in/1000001.req", "out/notes.htm", "out/.7.htm.partial"}) {
    Put(other);
  }
  EXPECT_EQ(SweepExpiredTickets(root_, kLifetime, kNow), 1);
  for (const char* file : kTicketFiles) EXPECT_FALSE(Exists(file)) << file;
  for (const char* other :
       {"out/wait.tmp", "in/07.req", "in/1000001.req", "out/notes.htm", "out/.7.htm.partial"}) {
    EXPECT_TRUE(Exists(other)) << other;
  }
}

// One file changed within the lifetime keeps the whole ticket, whichever.
TEST_F(KitTicketSweepTest, OneRecentFileKeepsTheTicket) {
  for (const char* recent : kTicketFiles) {
    for (const char* file : kTicketFiles) Put(file, file == recent ? kRecent : kOld);
    EXPECT_EQ(SweepExpiredTickets(root_, kLifetime, kNow), 0) << recent;
    for (const char* file : kTicketFiles) EXPECT_TRUE(Exists(file)) << recent << ": " << file;
  }
}

// The answer of a ticket picked up long ago, and its basket flag and wait
// page: the request is gone, so the number is free and they go.
TEST_F(KitTicketSweepTest, LeftoversOfAnAnsweredTicketGo) {
  Put("out/7.htm");
  Put("out/7.rdy");
  Put("out/7.tmp");
  EXPECT_EQ(SweepExpiredTickets(root_, kLifetime, kNow), 1);
  for (const char* file : kTicketFiles) EXPECT_FALSE(Exists(file)) << file;
}

// The module draws the number again while the sweep removes an old answer's
// leftovers: once its request file is there, nothing more is removed.
TEST_F(KitTicketSweepTest, NewRequestUnderTheNumberStopsTheSweep) {
  Put("out/7.rdy");
  Put("out/7.tmp");
  Put("out/7.htm");
  int removals = 0;
  const int removed = SweepExpiredTickets(root_, kLifetime, kNow, [&](const std::string&) {
    if (++removals == 1) {
      // Now, as the module takes the number: request file, then wait page.
      std::ofstream(root_ + "/in/7.req") << "";
      std::ofstream(root_ + "/out/7.tmp") << "new wait page";
    }
  });
  EXPECT_EQ(removed, 0);
  EXPECT_EQ(removals, 1);  // the old ready flag only
  EXPECT_TRUE(Exists("in/7.req"));
  EXPECT_TRUE(Exists("out/7.tmp"));
}

// A poll picks an hour-old answer up during the sweep and a new request
// takes the number at once: its files are not touched.
TEST_F(KitTicketSweepTest, RequestReplacedDuringTheSweepStopsIt) {
  for (const char* file : kTicketFiles) Put(file);
  int removals = 0;
  const int removed = SweepExpiredTickets(root_, kLifetime, kNow, [&](const std::string&) {
    if (++removals == 2) {
      fs::remove(root_ + "/in/7.req");
      fs::remove(root_ + "/in/7.srv");
      Put("in/7.req", kOld);  // same old time, but another file
    }
  });
  EXPECT_EQ(removed, 0);
  EXPECT_EQ(removals, 2);
  EXPECT_TRUE(Exists("in/7.req"));
  EXPECT_TRUE(Exists("out/7.htm"));
}

}  // namespace
}  // namespace backend_kit
