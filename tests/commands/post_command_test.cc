// Whole requests through PostCommand: a posted form starts a request and a
// posted poll (or DoCommand's reload) picks up the answer; refusals and spool
// failures answer with an empty body.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/commands/query_test_support.h"

namespace commands {
namespace {

using testing::AnswerTicket;
using testing::DoCommandQuery;
using testing::FilesUnder;
using testing::Headers;
using testing::PostForm;
using testing::RunQuery;
using testing::StoredLines;
using testing::TicketOf;

constexpr char kReloadBase[] = "http://portal.example:8080/scripts/dudarovuvadu.dll?DoCommand?";

std::vector<std::string> RequestLines(const harness::SpoolRoot& root, const std::string& ticket) {
  return StoredLines(root, "in/" + ticket + ".req");
}

TEST(PostCommandTest, PostedFormStartsARequestAndAPostedPollPicksUpTheAnswer) {
  harness::SpoolRoot root;
  const harness::Response first = PostForm("logon=anna&command=getlist&p1=&p2=x&p3=y");
  EXPECT_EQ(first.status_line, "200 OK");
  EXPECT_EQ(Headers(first), "");
  const std::string wait_page = first.body();
  const std::string ticket = TicketOf(wait_page);
  ASSERT_FALSE(ticket.empty()) << wait_page;
  EXPECT_EQ(wait_page.rfind("<html>\r\n<head>\r\n<title>Portail Quorvel</title>\r\n", 0), 0u);
  EXPECT_NE(wait_page.find(std::string(kReloadBase) + "logon=anna&command=getlist&p1=" + ticket +
                           "&p2=x&p3=y\";\r\n"),
            std::string::npos)
      << wait_page;
  EXPECT_EQ(
      RequestLines(root, ticket),
      (std::vector<std::string>{"/scripts/dudarovuvadu.dll", "anna", "getlist", ticket, "x", "y"}));
  EXPECT_EQ(StoredLines(root, "in/" + ticket + ".srv"),
            (std::vector<std::string>{"http", "portal.example", "8080"}));

  const std::string poll = "p1=" + ticket + "&logon=anna&command=getlist&p2=x&p3=y";
  EXPECT_EQ(PostForm(poll).body(), wait_page);  // not answered yet

  // The answer goes out as text even when its first line names a file.
  const std::string answer = "\\\\server\\share\\report.pdf\nsecond line\n";
  AnswerTicket(root, ticket, answer);
  const harness::Response picked = PostForm(poll);
  EXPECT_EQ(Headers(picked), "");
  EXPECT_EQ(picked.body(), answer);
  EXPECT_FALSE(root.Exists("in/" + ticket + ".req"));
  EXPECT_FALSE(root.Exists("out/" + ticket + ".rdy"));
  EXPECT_TRUE(root.Exists("out/" + ticket + ".htm"));
}

TEST(PostCommandTest, WaitPageReloadThroughDoCommandDeliversTheAnswer) {
  harness::SpoolRoot root;
  const std::string ticket = TicketOf(PostForm("logon=anna&command=getdoc&p2=7").body());
  ASSERT_FALSE(ticket.empty());
  AnswerTicket(root, ticket, "<html>doc 7</html>\n");
  EXPECT_EQ(RunQuery(DoCommandQuery("anna", "getdoc", ticket, "7")).body(), "<html>doc 7</html>\n");
}

TEST(PostCommandTest, TrailingLineEndOfTheFormIsNotPartOfIt) {
  // Regression: a form ending in CR LF (or blanks) once gave the command
  // "getlist||".
  for (const char* tail : {"\r\n", "\n", "  ", " \r\n \r\n"}) {
    harness::SpoolRoot root;
    const std::string ticket =
        TicketOf(PostForm(std::string("logon=anna&command=getlist") + tail).body());
    ASSERT_FALSE(ticket.empty()) << tail;
    EXPECT_EQ(
        RequestLines(root, ticket),
        (std::vector<std::string>{"/scripts/dudarovuvadu.dll", "anna", "getlist", ticket, "", ""}));
  }
}

TEST(PostCommandTest, FieldsAsTheFormDecodesThem) {
  struct Case {
    const char* what;
    std::string body;
    std::string logon, command, p2, p3;
  };
  const std::vector<Case> cases = {
      {"zero byte becomes a bar", std::string("logon=an\0na&command=x", 21), "an|na", "x", "", ""},
      {"trailing zero byte is data", std::string("logon=a&command=x\0", 18), "a", "x|", "", ""},
      {"extra numbered fields join p3", "command=x&p3=a&p4=b&p10=c", "", "x", "", "a|b|c"},
      {"escapes decoded, plus kept", "logon=a%2Fb&command=c+d", "a/b", "c+d", "", ""},
      {"escaped ampersand separates", "command=x%26p2=y", "", "x", "y", ""},
  };
  for (const Case& c : cases) {
    harness::SpoolRoot root;
    const std::string ticket = TicketOf(PostForm(c.body).body());
    ASSERT_FALSE(ticket.empty()) << c.what;
    EXPECT_EQ(RequestLines(root, ticket),
              (std::vector<std::string>{"/scripts/dudarovuvadu.dll", c.logon, c.command, ticket,
                                        c.p2, c.p3}))
        << c.what;
  }
}

TEST(PostCommandTest, PhoneCommandStillGetsTheHtmlWaitPage) {
  harness::SpoolRoot root;
  const harness::Response response = PostForm("logon=anna&command=ciscolist");
  EXPECT_EQ(Headers(response), "");
  EXPECT_EQ(response.body().rfind("<html>\r\n", 0), 0u);
  EXPECT_EQ(response.body().find("CiscoIPPhoneText"), std::string::npos);

  // A basket command keeps its own title and text on the HTML page.
  const std::string basket = PostForm("logon=anna&command=ciscogetqv").body();
  EXPECT_NE(basket.find("<title>Portail Quorvel - Panier t&eacute;l&eacute;charg&eacute;</title>"),
            std::string::npos)
      << basket;
  EXPECT_NE(basket.find("T&eacute;l&eacute;chargement en cours...\r\n"), std::string::npos);
}

TEST(PostCommandTest, SchemeAndServerTextsComeFromTheServerVariables) {
  harness::SpoolRoot root;
  auto variables = harness::Request::DefaultServerVariables();
  variables["SERVER_PORT"] = "443";
  variables["SERVER_NAME"] = std::string(250, 'n');  // does not fit: empty
  const std::string ticket = TicketOf(PostForm("logon=a&command=b", variables).body());
  ASSERT_FALSE(ticket.empty());
  EXPECT_EQ(StoredLines(root, "in/" + ticket + ".srv"),
            (std::vector<std::string>{"https", "", "443"}));
}

TEST(PostCommandTest, LongPostedP3NeverOverrunsIdentityOrTraces) {
  // p3 gathers 8192 characters: far beyond the request identity (1023) and
  // the trace buffer (2047). The request is spooled whole; the sanitizers
  // watch the identity and the traces.
  harness::SpoolRoot root;
  std::string body = "logon=anna&command=getlist&p3=" + std::string(250, 'a');
  std::string p3(250, 'a');
  for (int i = 4; p3.size() + 251 <= 8192; ++i) {
    body += "&p" + std::to_string(i) + "=" + std::string(250, 'b');
    p3 += "|" + std::string(250, 'b');
  }
  const harness::Response response = PostForm(body);
  const std::string ticket = TicketOf(response.body());
  ASSERT_FALSE(ticket.empty());
  const std::vector<std::string> lines = RequestLines(root, ticket);
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(lines[5], p3);
  EXPECT_FALSE(root.Exists("dudarovuvadu.cnt.in.lock"));
}

TEST(PostCommandTest, RefusalsAndSpoolFailuresAnswerWithAnEmptyBody) {
  struct Case {
    const char* what;
    std::string body;
    const char* removed_directory;  // or nullptr
  };
  const std::vector<Case> cases = {
      {"value holding a CR LF", "logon=anna&command=get%0D%0Alist", nullptr},
      {"p3 holding a LF", "logon=anna&command=getlist&p3=a%0Ab", nullptr},
      {"ticket that is no number", "p1=..%2F..%2Fx&logon=anna&command=getlist", nullptr},
      {"request file cannot be created", "logon=anna&command=getlist", "in"},
  };
  for (const Case& c : cases) {
    harness::SpoolRoot root;
    if (c.removed_directory != nullptr) std::filesystem::remove(root.Path(c.removed_directory));
    const auto before = FilesUnder(root.path());
    const harness::Response response = PostForm(c.body);
    EXPECT_EQ(response.status_line, "200 OK") << c.what;
    EXPECT_EQ(response.body(), "") << c.what;
    EXPECT_EQ(Headers(response), "") << c.what;
    // Nothing spooled (the in counter may have moved for the missing "in").
    for (const std::string& file : FilesUnder(root.path())) {
      if (file.find("dudarovuvadu.cnt.in.txt") != std::string::npos) continue;
      EXPECT_TRUE(before.count(file) == 1) << c.what << ": " << file;
    }
  }
}

TEST(PostCommandTest, WaitPageThatCannotBeWrittenGivesAnEmptyBody) {
  harness::SpoolRoot root;
  std::filesystem::remove(root.Path("out"));
  const harness::Response response = PostForm("logon=anna&command=getlist");
  EXPECT_EQ(response.status_line, "200 OK");
  EXPECT_EQ(response.body(), "");
  // The request itself is spooled; only its wait page is missing.
  EXPECT_TRUE(root.Exists("in/1.req"));
}

TEST(PostCommandTest, EmptyAnswerFileGivesAnEmptyBody) {
  harness::SpoolRoot root;
  const std::string ticket = TicketOf(PostForm("logon=anna&command=getlist").body());
  ASSERT_FALSE(ticket.empty());
  AnswerTicket(root, ticket, "");
  EXPECT_EQ(PostForm("p1=" + ticket + "&logon=anna&command=getlist").body(), "");
}

}  // namespace
}  // namespace commands
