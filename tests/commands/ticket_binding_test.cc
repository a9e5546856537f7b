// A ticket belongs to the request that took it: a poll is answered only with
// that request's own values, every way a browser, a phone or a form polls
// still picks up its answer, and a request that draws a ticket still in use
// gets a wait page no other request can touch.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "spool/ticket_exchange.h"
#include "spool/wait_page.h"
#include "tests/commands/query_test_support.h"

namespace commands {
namespace {

using testing::AnswerTicket;
using testing::DoCommandQuery;
using testing::DoKommandQuery;
using testing::ErrorPage;
using testing::Headers;
using testing::PostForm;
using testing::RunQuery;
using testing::TicketOf;

// Every file under the root with its bytes.
std::map<std::string, std::string> Snapshot(const harness::SpoolRoot& root) {
  std::map<std::string, std::string> files;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root.path())) {
    const std::string relative = std::filesystem::relative(entry.path(), root.path()).string();
    files[relative] = entry.is_regular_file() ? root.ReadFile(relative) : "<dir>";
  }
  return files;
}

// The query a browser or phone sends when it follows a wait page's reload
// URL: everything after the script name's "?".
std::string ReloadQuery(const harness::Response& wait) {
  const std::string text = Headers(wait) + wait.body();
  const std::string marker = "/scripts/dudarovuvadu.dll?";
  const std::size_t at = text.find(marker);
  if (at == std::string::npos) return {};
  const std::size_t start = at + marker.size();
  const std::size_t end = text.find_first_of("\"\r\n", start);
  return text.substr(start, end - start);
}

TEST(TicketBindingTest, ForgedPollGetsInvalidTicketAndTheOwnerStillGetsTheAnswer) {
  harness::SpoolRoot root;
  const harness::Response first =
      RunQuery(DoCommandQuery("anna", "getlist", "", "x", "", "anna-token"));
  const std::string ticket = TicketOf(first.body());
  ASSERT_FALSE(ticket.empty()) << first.body();
  const std::string owner_poll = DoCommandQuery("anna", "getlist", ticket, "x", "anna-token");

  // Each poll names Anna's ticket with some value not hers.
  const std::vector<std::string> forged = {
      "DoCommand?Logon=mallory&Command=x&P1=" + ticket + "&P2=&P3=",
      DoCommandQuery("mallory", "getlist", ticket, "x", "anna-token"),
      DoCommandQuery("anna", "getlist", ticket, "x", ""),
      DoCommandQuery("anna", "getlist", ticket, "x", "other-token"),
      DoCommandQuery("anna", "getlist", ticket, "y", "anna-token"),
      DoCommandQuery("anna", "getdoc", ticket, "x", "anna-token"),
      DoCommandQuery("Anna", "getlist", ticket, "x", "anna-token"),
      DoCommandQuery("anna", "getlist", ticket, "x", "x", "mallory-token"),
      DoKommandQuery("mallory", "getlist", ticket, "x", "[ip]"),
  };
  const auto check_refused = [&](const char* when) {
    const auto before = Snapshot(root);
    for (const std::string& query : forged) {
      const std::string body = RunQuery(query).body();
      EXPECT_EQ(body, ErrorPage("Invalid ticket")) << when << ": " << query;
      EXPECT_EQ(body.find("anna-token"), std::string::npos) << when << ": " << query;
    }
    // Posted polls of the ticket are refused alike, with an empty body.
    EXPECT_EQ(PostForm("logon=mallory&command=getlist&p1=" + ticket + "&p2=x&p3=anna-token").body(),
              "")
        << when;
    EXPECT_EQ(Snapshot(root), before) << when;
  };

  check_refused("waiting");
  EXPECT_EQ(RunQuery(owner_poll).body(), first.body());
  AnswerTicket(root, ticket, "anna's documents\n");
  check_refused("answered");
  EXPECT_EQ(RunQuery(owner_poll).body(), "anna's documents\n");

  // Picked up: the wait file is gone, and so is any way to the answer.
  for (const std::string& query : forged) {
    EXPECT_EQ(RunQuery(query).body(),
              ErrorPage("Can't open " + root.Path("out/" + ticket + ".tmp") +
                        " (BACK or REFRESH button is forbidden)"))
        << query;
  }
}

TEST(TicketBindingTest, EveryWayARequestIsPolledPicksUpItsAnswer) {
  struct Case {
    const char* what;
    std::string start;  // DoCommand / DoKommand query, or a form when posted
    bool posted;
    int polls;  // basket answers are polled again and again
  };
  const Case cases[] = {
      {"DoCommand", DoCommandQuery("anna", "getlist", "", "a b+c", "p&3=\"x\""), false, 1},
      {"DoCommand with token", DoCommandQuery("anna", "getlist", "", "x", "y", "t0k"), false, 1},
      {"DoKommand with [ip]", DoKommandQuery("anna", "getlist", "", "x", "[ip]"), false, 1},
      {"customlogin", DoCommandQuery("anna", "customlogin", "", "x", "", "t"), false, 1},
      {"phone", DoCommandQuery("anna", "ciscolist", "", "x", "[ip]"), false, 1},
      {"basket", DoCommandQuery("anna", "getqvpanier", "", "x", "y"), false, 3},
      {"posted form", "logon=anna&command=getdoc&p2=7&p3=a&p4=b%26c", true, 1},
  };
  for (const Case& c : cases) {
    harness::SpoolRoot root;
    const harness::Response wait = c.posted ? PostForm(c.start) : RunQuery(c.start);
    const std::string reload = ReloadQuery(wait);
    const std::string ticket = TicketOf(reload + "&");
    ASSERT_FALSE(ticket.empty()) << c.what << ": " << Headers(wait) << wait.body();
    // Still waiting: the reload gets the same wait page again.
    EXPECT_EQ(RunQuery(reload).body(), wait.body()) << c.what;
    AnswerTicket(root, ticket, "answer for " + std::string(c.what) + "\n");
    for (int poll = 0; poll < c.polls; ++poll) {
      EXPECT_EQ(RunQuery(reload).body(), "answer for " + std::string(c.what) + "\n")
          << c.what << ", poll " << poll;
    }
  }
}

TEST(TicketBindingTest, PostedFormPollCarryingTheTicketPicksUpItsAnswer) {
  harness::SpoolRoot root;
  const std::string form = "logon=anna&command=getdoc&p2=7&p3=a&p4=b";
  const std::string ticket = TicketOf(PostForm(form).body());
  ASSERT_FALSE(ticket.empty());
  AnswerTicket(root, ticket, "doc 7\n");
  // The same form, now with its ticket; the gathered p3 is the same.
  EXPECT_EQ(PostForm("logon=anna&command=getdoc&p1=" + ticket + "&p2=7&p3=a|b").body(), "doc 7\n");
}

// When the counter cannot be written every request draws ticket 1, which is
// in use: each gets a wait page without ticket, and that page must be its
// own, whole, whatever the other requests do at the same time.
TEST(TicketBindingTest, TicketInUseWaitPageBelongsToItsRequestAlone) {
  harness::SpoolRoot root;
  root.MakeDir("dudarovuvadu.cnt.in.txt");  // the counter cannot be written
  root.WriteFile("in/1.req", "an earlier request\r\n");
  constexpr int kThreads = 8;
  constexpr int kEach = 60;
  std::vector<std::vector<std::string>> wrong(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) {
        const std::string logon = "user" + std::to_string(t) + "x" + std::to_string(i);
        const std::string token = "token-of-" + logon;
        const std::string body =
            RunQuery(DoCommandQuery(logon, "getlist", "", "p2", "", token)).body();
        const std::string expected = spool::HtmlWaitPage(
            "http://portal.example:8080/scripts/dudarovuvadu.dll?DoCommand?logon=" + logon +
                "&command=getlist&p1=&p2=p2&p3=" + token,
            false);
        if (body != expected) wrong[t].push_back(logon + " got: " + body);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (const auto& list : wrong) {
    for (const std::string& failure : list) ADD_FAILURE() << failure;
  }
  EXPECT_EQ(root.ReadFile("in/1.req"), "an earlier request\r\n");
}

}  // namespace
}  // namespace commands
