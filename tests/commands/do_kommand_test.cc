// Whole requests through DoKommand: the file sub-commands answer exactly as
// through DoCommand; everything else goes to the back-end, with no token, no
// events and no phone answer.
#include <gtest/gtest.h>

#include <string>

#include "tests/commands/query_test_support.h"

namespace commands {
namespace {

using testing::AnswerTicket;
using testing::BackslashName;
using testing::DoCommandQuery;
using testing::DoKommandQuery;
using testing::Headers;
using testing::RunQuery;
using testing::StoredLines;
using testing::TicketOf;

TEST(DoKommandTest, FileSubCommandsAnswerByteForByteAsDoCommand) {
  harness::SpoolRoot root;
  root.MakeDir("files");
  std::string bytes;
  for (int i = 0; i < 2500; ++i) bytes.push_back(static_cast<char>(i % 251));
  root.WriteFile("files/a.pdf", bytes);
  std::string granted;
  for (const char c : BackslashName(root.Path("files/a.pdf"))) {
    granted += c == '\\' ? std::string("[5C]") : std::string(1, c);
  }
  root.WriteFile("rights/~anna.lst", granted + "\r\n[3C]gone[3E]\r\n");
  struct Case {
    std::string logon, command, p1, p2, p3;
  };
  const Case cases[] = {
      {"anna", "getfile", granted, "7", "100"},
      {"anna", "getfile", granted, "0", "-1"},
      {"anna", "getfilelength", granted, "", ""},
      {"anna", "getfiledata", granted, "2000", "900"},
      {"anna", "getfiledata", granted, "", "-1"},
      {"anna", "getfilelength", "[3C]gone[3E]", "", ""},
      {"anna", "getfile", "[3C]gone[3E]", "0", "3"},
      {"bob", "getfile", granted, "0", "3"},
      {"../anna", "getfiledata", granted, "0", "3"},
  };
  for (const Case& c : cases) {
    const harness::Response through_do =
        RunQuery(DoCommandQuery(c.logon, c.command, c.p1, c.p2, c.p3, "token"));
    const harness::Response through_dok =
        RunQuery(DoKommandQuery(c.logon, c.command, c.p1, c.p2, c.p3));
    const bool refused_length = c.command == "getfile" && c.p3 == "-1";  // empty body
    EXPECT_EQ(through_do.body().empty(), refused_length) << c.command << " " << c.p3;
    EXPECT_EQ(through_dok.status_line, through_do.status_line);
    EXPECT_EQ(Headers(through_dok), Headers(through_do)) << c.command << " " << c.p2;
    EXPECT_EQ(through_dok.body(), through_do.body()) << c.command << " " << c.p2;
  }
}

TEST(DoKommandTest, OtherCommandsGoToTheBackEndWithTheirP3) {
  struct Case {
    std::string command, p3, sent_p3;
  };
  const Case cases[] = {
      {"newevent", "x", "x"},  // not a sub-command here: spooled, no event file
      {"GETFILE", "x", "x"},
      {"customlogin", "x", "192.0.2.7"},
      {"getlist", "[IP]", "192.0.2.7"},
      {"getlist", "[Ip]", "192.0.2.7"},
      {"getlist", "[ip] ", "[ip] "},
  };
  for (const Case& c : cases) {
    harness::SpoolRoot root;
    const std::string body = RunQuery(DoKommandQuery("anna", c.command, "", "p2", c.p3)).body();
    const std::string ticket = TicketOf(body);
    ASSERT_FALSE(ticket.empty()) << body;
    EXPECT_EQ(StoredLines(root, "in/" + ticket + ".req"),
              (std::vector<std::string>{"/scripts/dudarovuvadu.dll", "anna", c.command, ticket,
                                        "p2", c.sent_p3}));
    // Its wait page reloads DoCommand, with the p3 that was sent.
    if (c.sent_p3.find_first_of("[] ") != std::string::npos) continue;  // URL-encoded there
    EXPECT_NE(body.find("?DoCommand?logon=anna&command=" + c.command + "&p1=" + ticket +
                        "&p2=p2&p3=" + c.sent_p3 + "\""),
              std::string::npos)
        << body;
    EXPECT_FALSE(root.Exists("events/anna.evt"));
  }
}

TEST(DoKommandTest, PhoneCommandGetsTheOrdinaryAnswer) {
  harness::SpoolRoot root;
  auto variables = harness::Request::DefaultServerVariables();
  variables["SERVER_PORT"] = "443";
  const harness::Response wait = RunQuery(DoKommandQuery("anna", "ciscolist"), variables);
  EXPECT_EQ(Headers(wait), "");
  EXPECT_EQ(wait.body().rfind("Refresh: 1;url=https://portal.example:443/scripts/"
                              "dudarovuvadu.dll?DoCommand?logon=anna&command=ciscolist&p1=",
                              0),
            0u)
      << wait.body();
  EXPECT_TRUE(wait.body().ends_with("</CiscoIPPhoneText>\r\n"));

  // A poll through DoKommand delivers the answer without the phone step.
  const std::string ticket = wait.body().substr(
      wait.body().find("&p1=") + 4, wait.body().find("&p2=") - wait.body().find("&p1=") - 4);
  AnswerTicket(root, ticket, "Refresh: 5\n<x/>\n");
  const harness::Response answer = RunQuery(DoKommandQuery("anna", "ciscolist", ticket));
  EXPECT_EQ(Headers(answer), "");
  EXPECT_EQ(answer.body(), "Refresh: 5\n<x/>\n");
}

TEST(DoKommandTest, AnswerNamingAFileIsDownloaded) {
  harness::SpoolRoot root;
  root.MakeDir("files");
  root.WriteFile("files/r.doc", "DOC\r\n");
  const std::string ticket = TicketOf(RunQuery(DoKommandQuery("anna", "getdoc")).body());
  AnswerTicket(root, ticket, BackslashName(root.Path("files/r.doc")) + "\n");
  const harness::Response answer = RunQuery(DoKommandQuery("anna", "getdoc", ticket));
  EXPECT_EQ(Headers(answer), "Content-Type: application/msword\r\nContent-length: 5\r\n");
  EXPECT_EQ(answer.body(), "DOC\r\n");
}

}  // namespace
}  // namespace commands
