// Tests of spool/ticket_exchange.cc: the life of a ticket through its
// states, the spool files byte for byte, the refusals that touch no file,
// the failures, and many threads spooling requests on one
// root at once.
#include "spool/ticket_exchange.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/file.h"
#include "platform/module_path.h"
#include "platform/trace_output.h"
#include "spool/wait_page.h"
#include "tests/harness/environment.h"
#include "tests/harness/fake_server.h"
#include "tests/harness/temp_dir.h"
#include "tests/spool/spooled_requests.h"

namespace spool {
namespace {

// Every file under the root with its bytes: a request that touches no file
// leaves it equal.
std::map<std::string, std::string> Snapshot(const harness::TempDir& root) {
  std::map<std::string, std::string> files;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root.path())) {
    const std::string relative = std::filesystem::relative(entry.path(), root.path()).string();
    files[relative] = entry.is_regular_file() ? root.ReadFile(relative) : "<dir>";
  }
  return files;
}

// What a handler reading the file in text mode gets: CR LF back to LF.
std::string TextModeBytes(const std::string& text) {
  std::string stored;
  for (const char c : text) {
    if (c == '\n') stored.push_back('\r');
    stored.push_back(c);
  }
  return stored;
}

// The wait file of ticket `ticket` as the module writes it for a request.
std::string WaitFileOf(const RequestFields& fields) {
  return TextModeBytes(HtmlWaitPage(WaitPageTarget(kServer, fields), false));
}

TEST(ExchangeTicketTest, NewRequestWritesServerRequestAndWaitFiles) {
  harness::SpoolRoot root;
  root.WriteFile("dudarovuvadu.cnt.in.txt", "41\r\n");
  root.WriteFile("out/42.rdy", "");  // left over from an earlier ticket 42
  std::string ticket = "preset";
  EXPECT_EQ(Exchange("anna", "getlist", "", "x", "y", &ticket), root.Path("out/42.tmp"));
  EXPECT_EQ(ticket, "42");
  EXPECT_EQ(root.ReadFile("in/42.srv"), "http\r\nportal.example.org\r\n8080\r\n");
  EXPECT_EQ(root.ReadFile("in/42.req"),
            "/scripts/dudarovuvadu.dll\r\nanna\r\ngetlist\r\n42\r\nx\r\ny\r\n");
  EXPECT_FALSE(root.Exists("out/42.rdy"));
  const std::string page = HtmlWaitPage(
      "http://portal.example.org:8080/scripts/dudarovuvadu.dll?DoCommand?"
      "logon=anna&command=getlist&p1=42&p2=x&p3=y",
      false);
  // The page's own CR LF are text: stored as CR CR LF, read back as CR LF.
  EXPECT_EQ(root.ReadFile("out/42.tmp"), TextModeBytes(page));
  EXPECT_FALSE(root.Exists("dudarovuvadu.cnt.in.lock"));
  EXPECT_TRUE(std::filesystem::is_empty(root.Path("traces")));
}

TEST(ExchangeTicketTest, WaitPageVariantFollowsTheCommand) {
  struct Case {
    std::string command;
    bool phone;
    bool basket;
    bool numerote;
  };
  const std::vector<Case> cases = {
      {"getlist", false, false, false},     {"ciscolist", true, false, false},
      {"cisconumerote", true, false, true}, {"getqvpanier", false, true, false},
      {"fctunitdoc", false, true, false},   {"ciscogetqv", true, false, false},
      {"CISCOlist", false, false, false},   {"numerote", false, false, false},
  };
  for (const Case& c : cases) {
    harness::SpoolRoot root;
    std::string ticket;
    ASSERT_EQ(Exchange("anna", c.command, "", "", "", &ticket), root.Path("out/1.tmp"));
    const std::string target =
        "http://portal.example.org:8080/scripts/dudarovuvadu.dll?DoCommand?logon=anna&command=" +
        c.command + "&p1=1&p2=&p3=";
    const std::string page =
        c.phone ? PhoneWaitPage(target, c.numerote) : HtmlWaitPage(target, c.basket);
    EXPECT_EQ(root.ReadFile("out/1.tmp"), TextModeBytes(page)) << c.command;
  }
}

TEST(ExchangeTicketTest, PollWithReadyFlagPicksUpTheAnswer) {
  struct Case {
    std::string command;
    bool basket;
  };
  for (const Case& c : std::vector<Case>{
           {"getdoc", false}, {"getqvlist", true}, {"xfctunit", true}, {"GETQV", false}}) {
    harness::SpoolRoot root;
    for (const char* name : {"in/17.req", "in/17.srv", "out/17.rdy"}) {
      root.WriteFile(name, "x\r\n");
    }
    root.WriteFile("out/17.tmp", WaitFileOf({"anna", c.command, "17", "", ""}));
    root.WriteFile("out/17.htm", "answer\r\n");
    std::string ticket;
    EXPECT_EQ(Exchange("anna", c.command, "17", "", "", &ticket), root.Path("out/17.htm"));
    EXPECT_EQ(ticket, "17");
    EXPECT_FALSE(root.Exists("in/17.req"));
    EXPECT_FALSE(root.Exists("in/17.srv"));
    EXPECT_EQ(root.Exists("out/17.rdy"), c.basket) << c.command;
    EXPECT_EQ(root.Exists("out/17.tmp"), c.basket) << c.command;
    EXPECT_EQ(root.ReadFile("out/17.htm"), "answer\r\n");
    // A basket answer is delivered again; any other is gone with its flag.
    EXPECT_EQ(Exchange("anna", c.command, "17", "", "", &ticket),
              root.Path(c.basket ? "out/17.htm" : "out/17.tmp"));
  }
}

TEST(ExchangeTicketTest, PollWithoutReadyFlagTouchesNothing) {
  harness::SpoolRoot root;
  root.WriteFile("in/17.req", "r\r\n");
  root.WriteFile("out/17.tmp", WaitFileOf({"anna", "getdoc", "17", "x", "y"}));
  const auto before = Snapshot(root);
  std::string ticket;
  EXPECT_EQ(Exchange("anna", "getdoc", "17", "x", "y", &ticket), root.Path("out/17.tmp"));
  EXPECT_EQ(ticket, "17");
  EXPECT_EQ(Snapshot(root), before);
  // Without ticket out the result is the same.
  EXPECT_EQ(Exchange("anna", "getdoc", "17", "x", "y", nullptr), root.Path("out/17.tmp"));
}

TEST(ExchangeTicketTest, TicketInUseGetsTheSharedWaitPageWithoutTicket) {
  harness::SpoolRoot root;
  root.WriteFile("dudarovuvadu.cnt.in.txt", "17\r\n");
  root.WriteFile("in/18.req", "earlier request\r\n");
  root.WriteFile("out/18.rdy", "");
  std::string ticket = "preset";
  std::string own_page;
  EXPECT_EQ(Exchange("anna", "getlist", "", "x", "y", &ticket, &own_page),
            root.Path("out/wait.tmp"));
  EXPECT_EQ(ticket, "");
  EXPECT_EQ(root.ReadFile("in/18.req"), "earlier request\r\n");
  EXPECT_FALSE(root.Exists("in/18.srv"));
  EXPECT_FALSE(root.Exists("out/18.tmp"));
  EXPECT_TRUE(root.Exists("out/18.rdy"));  // the earlier request's answer stays ready
  // The page is this request's alone: handed over, written nowhere.
  EXPECT_EQ(own_page, HtmlWaitPage("http://portal.example.org:8080/scripts/"
                                   "dudarovuvadu.dll?DoCommand?logon=anna&command=getlist&"
                                   "p1=&p2=x&p3=y",
                                   false));
  EXPECT_FALSE(root.Exists("out/wait.tmp"));
  // The reload asks again and gets the next number.
  EXPECT_EQ(Exchange("anna", "getlist", "", "x", "y", &ticket), root.Path("out/19.tmp"));
  EXPECT_EQ(ticket, "19");
}

TEST(ExchangeTicketTest, LifeOfATicketAcrossTheWrappedCounter) {
  harness::SpoolRoot root;
  root.WriteFile("dudarovuvadu.cnt.in.txt", "1000000\r\n");
  // Files left by the request that had number 1 in the previous round.
  root.WriteFile("out/1.rdy", "");
  root.WriteFile("out/1.htm", "old answer\r\n");
  root.WriteFile("out/1.tmp", "old wait page\r\n");

  std::string ticket;
  ASSERT_EQ(Exchange("anna", "getdoc", "", "d", "", &ticket), root.Path("out/1.tmp"));
  ASSERT_EQ(ticket, "1");
  EXPECT_FALSE(root.Exists("out/1.rdy"));
  EXPECT_EQ(root.ReadFile("out/1.htm"), "old answer\r\n");
  EXPECT_NE(root.ReadFile("out/1.tmp"), "old wait page\r\n");

  // Spooled: polls get the wait page.
  EXPECT_EQ(Exchange("anna", "getdoc", "1", "d", "", &ticket), root.Path("out/1.tmp"));
  // Answered: answer file first, ready flag last.
  root.WriteFile("out/1.htm", "new answer\r\n");
  root.WriteFile("out/1.rdy", "");
  EXPECT_EQ(Exchange("anna", "getdoc", "1", "d", "", &ticket), root.Path("out/1.htm"));
  EXPECT_EQ(root.ReadFile("out/1.htm"), "new answer\r\n");
  // Picked up: only the answer file is left; a late poll names the wait
  // file, which no longer exists.
  for (const char* name : {"in/1.req", "in/1.srv", "out/1.rdy", "out/1.tmp"}) {
    EXPECT_FALSE(root.Exists(name)) << name;
  }
  EXPECT_EQ(Exchange("anna", "getdoc", "1", "d", "", &ticket), root.Path("out/1.tmp"));
  EXPECT_FALSE(root.Exists("out/1.tmp"));
  EXPECT_EQ(root.ReadFile("dudarovuvadu.cnt.in.txt"), "1\r\n");
}

// p1 used to be taken as it arrived: "../../x" read and deleted files
// outside the spool.
TEST(ExchangeTicketTest, RegressionTicketMustBeANumberTheCounterIssues) {
  const std::vector<std::string> invalid = {"0",
                                            "01",
                                            "007",
                                            "-1",
                                            "+1",
                                            " 1",
                                            "1 ",
                                            "1000001",
                                            "9999999",
                                            "12345678",
                                            "1a",
                                            "0x10",
                                            "../victim",
                                            "../../x",
                                            "1/../2",
                                            "1.0",
                                            "\t5",
                                            std::string("1\0", 2),
                                            std::string(300, '9')};
  for (const std::string& p1 : invalid) {
    harness::SpoolRoot root;
    // Files that a ticket of "../victim" would name and delete.
    for (const char* name :
         {"victim.req", "victim.srv", "victim.rdy", "victim.tmp", "out/1.rdy", "in/1.req"}) {
      root.WriteFile(name, "keep\r\n");
    }
    const auto before = Snapshot(root);
    std::string ticket = "preset";
    EXPECT_EQ(Exchange("anna", "getdoc", p1, "", "", &ticket), "!Invalid ticket") << p1;
    EXPECT_EQ(ticket, "");
    EXPECT_EQ(Snapshot(root), before) << p1;
  }
  EXPECT_TRUE(IsValidTicket("1"));
  EXPECT_TRUE(IsValidTicket("42"));
  EXPECT_TRUE(IsValidTicket("999999"));
  EXPECT_TRUE(IsValidTicket("1000000"));
}

// A CR or LF in a text that becomes a line of the request or server file
// would add lines and forge fields for the back-end.
TEST(ExchangeTicketTest, RegressionLineEndInAParameterIsRefusedBeforeATicketIsTaken) {
  struct Case {
    std::string logon, command, p2, p3;
    ServerTexts server;
  };
  const std::vector<Case> cases = {
      {"anna\nadmin", "getlist", "", "", kServer},
      {"anna", "getlist\r", "", "", kServer},
      {"anna", "getlist", "x\r\ny", "", kServer},
      {"anna", "getlist", "", "token\n", kServer},
      {"anna", "getlist", "", "", {"http", "host\r\nevil", "80", "/s"}},
      {"anna", "getlist", "", "", {"http", "host", "80", "/s\n"}},
  };
  for (const Case& c : cases) {
    harness::SpoolRoot root;
    const auto before = Snapshot(root);
    std::string ticket = "preset";
    EXPECT_EQ(
        ExchangeTicket(ResolveRequestRoot(), c.server, c.logon, c.command, "", c.p2, c.p3, &ticket),
        "!Invalid parameter (line end)");
    EXPECT_EQ(ticket, "");
    EXPECT_EQ(Snapshot(root), before);  // not even the counter moved
  }
}

TEST(ExchangeTicketTest, FilesThatCannotBeCreatedGiveTheirPath) {
  {
    // No in directory: the ticket is taken, nothing is spooled.
    harness::SpoolRoot root;
    std::filesystem::remove(root.Path("in"));
    std::string ticket;
    EXPECT_EQ(Exchange("anna", "getlist", "", "", "", &ticket),
              "!Can't create " + root.Path("in/1.req"));
    EXPECT_EQ(ticket, "1");
    EXPECT_FALSE(root.Exists("out/1.tmp"));
  }
  {
    // No out directory: the request is spooled but has no wait page.
    harness::SpoolRoot root;
    std::filesystem::remove(root.Path("out"));
    std::string ticket;
    EXPECT_EQ(Exchange("anna", "getlist", "", "", "", &ticket),
              "!Can't create " + root.Path("out/1.tmp"));
    EXPECT_EQ(ticket, "1");
    EXPECT_TRUE(root.Exists("in/1.req"));
    // The posted form's variant returns the wait path all the same.
    EXPECT_EQ(RunTicketExchange(ResolveRequestRoot(), kServer, {"anna", "getlist", "", "", ""},
                                kPostedFormExchange, nullptr),
              root.Path("out/2.tmp"));
  }
}

// Every open the exchange makes can fail; whichever does, the result is one
// of the allowed outcomes and nothing half-written is left for the back-end.
TEST(ExchangeTicketTest, AnyFailingOpenGivesAnAllowedOutcome) {
  for (int nth = 1; nth <= 20; ++nth) {
    harness::SpoolRoot root;
    std::string ticket;
    platform::testing::FailNthFileOpen(nth);
    const std::string result = Exchange("anna", "getlist", "", "x", "y", &ticket);
    platform::testing::FailNthFileOpen(0);
    const bool allowed = result == root.Path("out/" + ticket + ".tmp") ||
                         result == "!Can't create " + root.Path("in/" + ticket + ".req") ||
                         result == "!Can't create " + root.Path("out/" + ticket + ".tmp") ||
                         result == root.Path("out/wait.tmp");
    EXPECT_TRUE(allowed) << "open " << nth << ": " << result;
    if (root.Exists("in/" + ticket + ".req")) {
      EXPECT_EQ(root.ReadFile("in/" + ticket + ".req"),
                "/scripts/dudarovuvadu.dll\r\nanna\r\ngetlist\r\n" + ticket + "\r\nx\r\ny\r\n");
    }
    EXPECT_FALSE(root.Exists("dudarovuvadu.cnt.in.lock"));
  }
}

// Two processes sharing the root can draw the same number; the request file
// used to be created whether or not it existed, so the later request
// overwrote the earlier one and each got the other's answer. Whichever open
// fails (the check for an existing request file included), a request file
// in use is never rewritten.
TEST(ExchangeTicketTest, RegressionTicketInUseIsNeverTakenOver) {
  for (int nth = 0; nth <= 20; ++nth) {
    harness::SpoolRoot root;
    root.WriteFile("in/1.req", "first request\r\n");
    std::string ticket = "preset";
    platform::testing::FailNthFileOpen(nth);
    const std::string result = Exchange("anna", "getlist", "", "x", "y", &ticket);
    platform::testing::FailNthFileOpen(0);
    EXPECT_TRUE(result == root.Path("out/wait.tmp") ||
                result == "!Can't create " + root.Path("out/wait.tmp"))
        << "open " << nth << ": " << result;
    EXPECT_EQ(ticket, "");
    EXPECT_EQ(root.ReadFile("in/1.req"), "first request\r\n") << "open " << nth;
    EXPECT_FALSE(root.Exists("in/1.srv"));
    EXPECT_FALSE(root.Exists("out/1.tmp"));
  }
}

// An install root that would make the paths longer than their 255
// characters is refused, and the text naming it is cut to fit.
TEST(ExchangeTicketTest, RegressionRootTooLongForTheSpoolPathsIsRefused) {
  harness::TempDir dir;
  const std::string long_root = "/nonexistent/" + std::string(240, 'r');
  dir.WriteFile("dudarovuvadu.dir", long_root + "\r\n");
  platform::testing::OverrideModulePath(dir.Path("dudarovuvadu.so"));
  std::string ticket;
  const std::string fresh = Exchange("anna", "getlist", "", "", "", &ticket);
  EXPECT_EQ(fresh, ("!Can't create " + long_root + "/in/1.req").substr(0, 255));
  EXPECT_EQ(ticket, "1");
  const std::string poll = Exchange("anna", "getlist", "5", "", "", &ticket);
  EXPECT_EQ(poll, ("!Can't create " + long_root + "/in/5.req").substr(0, 255));
  platform::testing::ClearModulePathOverride();
}

TEST(ExchangeTicketTest, PostedFormVariantAlwaysWritesTheHtmlPage) {
  harness::SpoolRoot root;
  EXPECT_EQ(RunTicketExchange(ResolveRequestRoot(), kServer, {"anna", "ciscolist", "", "", ""},
                              kPostedFormExchange, nullptr),
            root.Path("out/1.tmp"));
  EXPECT_EQ(root.ReadFile("out/1.tmp").substr(0, 8), "<html>\r\r");
}

// The whole road through the module: a new request gets the wait page, a
// poll before the answer gets it again, a poll after the ready flag gets the
// answer, and a ticket that is not a number is refused.
TEST(ExchangeTicketRequestTest, TicketLifeThroughTheModule) {
  harness::SpoolRoot root;
  root.WriteFile("dudarovuvadu.cnt.in.txt", "41\r\n");
  const std::string page = HtmlWaitPage(
      "http://portal.example:8080/scripts/dudarovuvadu.dll?DoCommand?"
      "logon=anna&command=getlist&p1=42&p2=x%26y&p3=%22%3C%2Fscript%3E",
      false);
  // p2 "x&y" and p3 "\"</script>" arrive URL-encoded.
  const std::string query =
      "DoCommand?Logon=anna&Command=getlist&P1=&P2=x%26y&P3=%22%3C%2Fscript%3E";
  EXPECT_EQ(harness::Get(query + "&Token=").body(), page);
  EXPECT_EQ(root.ReadFile("in/42.req"),
            "/scripts/dudarovuvadu.dll\r\nanna\r\ngetlist\r\n42\r\nx&y\r\n\"</script>\r\n");

  const std::string poll =
      "DoCommand?Logon=anna&Command=getlist&P1=42&P2=x%26y&P3=%22%3C%2Fscript%3E";
  EXPECT_EQ(harness::Get(poll).body(), page);
  root.WriteFile("out/42.htm", "<p>the list</p>\r\n");
  root.WriteFile("out/42.rdy", "");
  // The answer is read as a text file: its CR LF arrive as LF.
  EXPECT_EQ(harness::Get(poll).body(), "<p>the list</p>\n");
  EXPECT_FALSE(root.Exists("in/42.req"));

  root.WriteFile("victim.rdy", "");
  const auto before = Snapshot(root);
  const std::string refused =
      harness::Get("DoCommand?Logon=anna&Command=getlist&P1=../victim").body();
  EXPECT_NE(refused.find("Invalid ticket"), std::string::npos) << refused;
  EXPECT_EQ(Snapshot(root), before);
}

TEST(ExchangeTicketConcurrencyTest, ThreadsNeverShareATicket) {
  harness::SpoolRoot root;
  constexpr int kThreads = 8;
  constexpr int kEach = 15;
  std::vector<std::vector<std::pair<std::string, std::string>>> issued(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) {
        const std::string logon = "t" + std::to_string(t) + "r" + std::to_string(i);
        std::string ticket;
        Exchange(logon, "getlist", "", "p2 of " + logon, "p3 of " + logon, &ticket);
        issued[t].emplace_back(ticket, logon);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  std::vector<std::pair<std::string, std::string>> all;
  for (const auto& list : issued) all.insert(all.end(), list.begin(), list.end());
  CheckSpooledRequests(root, all);
}

// Operators find the causes in the trace: a poll whose wait file is gone
// shows the failed open with its path and reason before the exchange's own
// message about it.
TEST(ExchangeTicketTest, TraceFileShowsTheFailedOpenBeforeTheMessage) {
  harness::SpoolRoot root;
  harness::TempDir logs;
  const harness::ScopedEnvironment named(platform::kTraceFileVariable, logs.Path("trace.log"));
  EXPECT_EQ(Exchange("anna", "getlist", "17", "", "", nullptr), root.Path("out/17.tmp"));
  const std::string trace = logs.ReadFile("trace.log");
  const std::size_t failure = trace.find("\"" + root.Path("out/17.tmp") + "\" failed: ");
  const std::size_t message = trace.find("p1=17");
  ASSERT_NE(failure, std::string::npos) << trace;
  ASSERT_NE(message, std::string::npos) << trace;
  EXPECT_LT(failure, message) << trace;
}

}  // namespace
}  // namespace spool
