// Whole requests through DoCommand: the exchange with a back-end played by
// the test, the p3 and token rules, the dispatch words, the scheme rule.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "platform/file.h"
#include "tests/commands/query_test_support.h"

namespace commands {
namespace {

using testing::AnswerTicket;
using testing::DoCommandQuery;
using testing::ErrorPage;
using testing::Headers;
using testing::RunQuery;
using testing::StoredLines;
using testing::TicketOf;

constexpr char kReloadBase[] = "http://portal.example:8080/scripts/dudarovuvadu.dll?DoCommand?";

TEST(DoCommandTest, NewRequestWaitsThenPollsPickUpTheAnswerOnce) {
  harness::SpoolRoot root;
  const harness::Response first = RunQuery(DoCommandQuery("anna", "getlist", "", "x", "y"));
  EXPECT_EQ(first.status_line, "200 OK");
  EXPECT_EQ(Headers(first), "");
  const std::string wait_page = first.body();
  const std::string ticket = TicketOf(wait_page);
  ASSERT_FALSE(ticket.empty()) << wait_page;
  EXPECT_NE(wait_page.find(std::string(kReloadBase) + "logon=anna&command=getlist&p1=" + ticket +
                           "&p2=x&p3=y\";\r\n"),
            std::string::npos)
      << wait_page;
  EXPECT_NE(wait_page.find("Veuillez patienter SVP...\r\n"), std::string::npos);
  EXPECT_EQ(
      StoredLines(root, "in/" + ticket + ".req"),
      (std::vector<std::string>{"/scripts/dudarovuvadu.dll", "anna", "getlist", ticket, "x", "y"}));

  const std::string poll = DoCommandQuery("anna", "getlist", ticket, "x", "y");
  EXPECT_EQ(RunQuery(poll).body(), wait_page);  // not answered yet

  AnswerTicket(root, ticket, "<html>answer</html>\nsecond line\n");
  const harness::Response answer = RunQuery(poll);
  EXPECT_EQ(Headers(answer), "");
  EXPECT_EQ(answer.body(), "<html>answer</html>\nsecond line\n");
  EXPECT_FALSE(root.Exists("in/" + ticket + ".req"));

  // Picked up: a reload finds neither the ready flag nor the wait page.
  const harness::Response reload = RunQuery(poll);
  EXPECT_EQ(Headers(reload), "Content-Type: text/html\r\n");
  EXPECT_EQ(reload.body(), ErrorPage("Can't open " + root.Path("out/" + ticket + ".tmp") +
                                     " (BACK or REFRESH button is forbidden)"));
}

TEST(DoCommandTest, PollWithoutAnswerReadsItsWaitFileOnce) {
  harness::SpoolRoot root;
  const std::string wait_page = RunQuery(DoCommandQuery("anna", "getlist")).body();
  const std::string ticket = TicketOf(wait_page);
  // The poll looks for the pointer file, reads the wait file (whose page
  // names the ticket's owner) and asks for the ready flag. A fourth open
  // would read the wait file again, and is made to fail.
  platform::testing::FailNthFileOpen(4);
  const std::string polled = RunQuery(DoCommandQuery("anna", "getlist", ticket)).body();
  platform::testing::FailNthFileOpen(0);
  EXPECT_EQ(polled, wait_page);
}

TEST(DoCommandTest, BasketAnswerIsDeliveredOnEveryLaterPoll) {
  harness::SpoolRoot root;
  const std::string ticket = TicketOf(RunQuery(DoCommandQuery("anna", "getqvpanier")).body());
  ASSERT_FALSE(ticket.empty());
  AnswerTicket(root, ticket, "basket ready\n");
  const std::string poll = DoCommandQuery("anna", "getqvpanier", ticket);
  EXPECT_EQ(RunQuery(poll).body(), "basket ready\n");
  EXPECT_EQ(RunQuery(poll).body(), "basket ready\n");
}

TEST(DoCommandTest, ClientAddressAndTokenReachTheRequestFileAsP3) {
  struct Case {
    std::string command, p3, token, sent_p3;
  };
  const Case cases[] = {
      {"getlist", "x", "", "x"},
      {"getlist", "[ip]", "", "192.0.2.7"},
      {"getlist", "[IP]", "", "192.0.2.7"},
      {"getlist", "[iP]", "", "192.0.2.7"},
      {"getlist", "[ip] ", "", "[ip] "},  // not exactly "[ip]"
      {"getlist", "x", "tok", "tok"},     // the token replaces P3
      {"getlist", "[ip]", "tok", "192.0.2.7"},
      {"customlogin", "x", "tok", "192.0.2.7"},
      {"customlogin", "", "", "192.0.2.7"},
      {"CustomLogin", "x", "", "x"},  // "customlogin" is case-sensitive
  };
  for (const Case& c : cases) {
    harness::SpoolRoot root;
    const std::string body =
        RunQuery(DoCommandQuery("anna", c.command, "", "", c.p3, c.token)).body();
    const std::string ticket = TicketOf(body);
    ASSERT_FALSE(ticket.empty()) << body;
    const std::vector<std::string> lines = StoredLines(root, "in/" + ticket + ".req");
    ASSERT_EQ(lines.size(), 6u) << c.command << " " << c.p3;
    EXPECT_EQ(lines[2], c.command);
    EXPECT_EQ(lines[5], c.sent_p3) << c.command << " p3=" << c.p3 << " token=" << c.token;
    // The reload URL carries the p3 that was sent, never the token.
    if (c.sent_p3.find_first_of("[] ") == std::string::npos) {
      EXPECT_NE(body.find("&p3=" + c.sent_p3 + "\""), std::string::npos) << body;
    }
  }
}

TEST(DoCommandTest, SubCommandWordsInOtherSpellingsGoToTheBackEnd) {
  for (const std::string command :
       {"GETFILE", "GetFileLength", "getfiledatA", "NEWEVENT", "getfile ", " newevent"}) {
    harness::SpoolRoot root;
    const std::string ticket =
        TicketOf(RunQuery(DoCommandQuery("anna", command, "", "1", "2")).body());
    ASSERT_FALSE(ticket.empty()) << command;
    EXPECT_EQ(StoredLines(root, "in/" + ticket + ".req").at(2), command);
    EXPECT_FALSE(root.Exists("events/anna.evt"));
  }
}

TEST(DoCommandTest, LogonRefusedForFilesStillReachesTheBackEnd) {
  harness::SpoolRoot root;
  const std::string body = RunQuery(DoCommandQuery("../x", "getlist")).body();
  const std::string ticket = TicketOf(body);
  ASSERT_FALSE(ticket.empty()) << body;
  EXPECT_EQ(StoredLines(root, "in/" + ticket + ".req").at(1), "../x");
}

TEST(DoCommandTest, SchemeFollowsTheServerPortText) {
  struct Case {
    std::string port, scheme;
  };
  const Case cases[] = {{"80", "http"},    {"8000", "http"}, {"8080", "http"}, {"443", "https"},
                        {"8081", "https"}, {"080", "https"}, {"", "https"}};
  for (const Case& c : cases) {
    harness::SpoolRoot root;
    auto variables = harness::Request::DefaultServerVariables();
    variables["SERVER_PORT"] = c.port;
    const std::string body = RunQuery(DoCommandQuery("anna", "getlist"), variables).body();
    EXPECT_NE(body.find("\"" + c.scheme + "://portal.example:" + c.port + "/scripts/"),
              std::string::npos)
        << c.port << "\n"
        << body;
    const std::string ticket = TicketOf(body);
    EXPECT_EQ(StoredLines(root, "in/" + ticket + ".srv"),
              (std::vector<std::string>{c.scheme, "portal.example", c.port}));
  }
}

// A TLS listener on 8080 used to send every browser to http://...:8080, a
// port that speaks only TLS, so the portal never answered.
TEST(DoCommandTest, ReloadOverTlsUsesHttpsOnAClearTextPort) {
  struct Case {
    std::string port, https, scheme;
  };
  const Case cases[] = {{"8080", "on", "https"}, {"80", "on", "https"},   {"443", "on", "https"},
                        {"8080", "off", "http"}, {"443", "off", "https"}, {"8000", "", "http"}};
  for (const Case& c : cases) {
    harness::SpoolRoot root;
    auto variables = harness::Request::DefaultServerVariables();
    variables["SERVER_PORT"] = c.port;
    variables["HTTPS"] = c.https;
    const std::string body = RunQuery(DoCommandQuery("anna", "getlist"), variables).body();
    EXPECT_NE(body.find("\"" + c.scheme + "://portal.example:" + c.port + "/scripts/"),
              std::string::npos)
        << c.port << " " << c.https << "\n"
        << body;
    EXPECT_EQ(StoredLines(root, "in/" + TicketOf(body) + ".srv").at(0), c.scheme);
  }
}

TEST(DoCommandTest, ServerVariableThatDoesNotFitItsBufferCountsAsEmpty) {
  harness::SpoolRoot root;
  auto variables = harness::Request::DefaultServerVariables();
  variables["REMOTE_ADDR"] = std::string(80, '1');  // 80 characters need 81 bytes
  variables["SERVER_NAME"] = std::string(250, 'n');
  variables.erase("SCRIPT_NAME");  // unknown to the server
  const std::string body =
      RunQuery(DoCommandQuery("anna", "getlist", "", "", "[ip]"), variables).body();
  EXPECT_NE(body.find("\"http://:8080?DoCommand?logon=anna&command=getlist&p1="), std::string::npos)
      << body;
  const std::vector<std::string> lines = StoredLines(root, "in/" + TicketOf(body) + ".req");
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(lines[0], "");
  EXPECT_EQ(lines[5], "");
}

TEST(DoCommandTest, SpoolErrorsAndMissingFilesGiveErrorPages) {
  harness::SpoolRoot root;
  std::filesystem::remove_all(root.Path("in"));
  const harness::Response response = RunQuery(DoCommandQuery("anna", "getlist"));
  EXPECT_EQ(Headers(response), "Content-Type: text/html\r\n");
  const std::string page = response.body();
  const std::string expected_start =
      "<html><head><title>Portail Quorvel</title></head><body>Can't create " + root.Path("in/");
  EXPECT_EQ(page.rfind(expected_start, 0), 0u) << page;
  EXPECT_TRUE(page.ends_with(".req</body></html>")) << page;

  // A ticket whose wait page is gone: the page names the path it tried.
  const harness::Response gone = RunQuery(DoCommandQuery("anna", "getlist", "999"));
  EXPECT_EQ(gone.body(), ErrorPage("Can't open " + root.Path("out/999.tmp") +
                                   " (BACK or REFRESH button is forbidden)"));
}

TEST(DoCommandTest, AnswerFileIsSentAsReadWhenItsFirstLineNamesNoFile) {
  struct Case {
    std::string answer, body;
  };
  const Case cases[] = {
      {"\\docs\\a.pdf\nmore\n", "\\docs\\a.pdf\nmore\n"},  // one backslash: shown
      {"Refresh: 1\nbody\n", "Refresh: 1\nbody\n"},        // "R" without "cisco": shown
      {"", ""},
      {"no line end", "no line end"},
      {"cr\r\nlone\rcr\n", "cr\nlone\rcr\n"},
  };
  for (const Case& c : cases) {
    harness::SpoolRoot root;
    const std::string ticket = TicketOf(RunQuery(DoCommandQuery("anna", "getdoc")).body());
    root.WriteFile("out/" + ticket + ".htm", c.answer);  // bytes exactly as given
    root.WriteFile("out/" + ticket + ".rdy", "");
    const harness::Response response = RunQuery(DoCommandQuery("anna", "getdoc", ticket));
    EXPECT_EQ(Headers(response), "");
    EXPECT_EQ(response.body(), c.body);
  }
}

}  // namespace
}  // namespace commands
