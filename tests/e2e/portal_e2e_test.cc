// The portal end to end: the host loads a copy of the module, the stand-in
// back-end serves the same install root, and requests travel over HTTP
// through the wait page, the spool files and back.

#include <gtest/gtest.h>

#include <cstdint>
#include <iomanip>
#include <sstream>
#include <thread>

#include "tests/e2e/portal_fixture.h"

namespace e2e {
namespace {

using namespace std::chrono_literals;

#define ASSERT_PORTAL_UP(portal) ASSERT_TRUE((portal).error().empty()) << (portal).error()

TEST(PortalE2eTest, NewRequestGetsTheWaitPageThenTheAnswerAfterTheReload) {
  Portal portal(WithBackendDelay(700));
  ASSERT_PORTAL_UP(portal);
  const auto first = HttpExchange(portal.DoCommandUrl("anna", "hello", "", "x", "y"));
  ASSERT_TRUE(first);
  EXPECT_EQ(first->status, 200);
  EXPECT_NE(first->body.find("Veuillez patienter SVP..."), std::string::npos);
  const std::string target = WaitPageTarget(first->body);
  const std::string ticket = Between(target, "&p1=", "&");
  ASSERT_FALSE(ticket.empty()) << first->body;
  EXPECT_EQ(target, portal.module_url() + "?DoCommand?logon=anna&command=hello&p1=" + ticket +
                        "&p2=x&p3=y");

  // Reloaded before the back-end answers: the same wait page.
  const auto early = HttpExchange(target);
  ASSERT_TRUE(early);
  EXPECT_EQ(early->body, first->body);

  ASSERT_TRUE(portal.backend().WaitForOutput("answered " + ticket + " command=hello"));
  const auto answer = HttpExchange(target);
  ASSERT_TRUE(answer);
  EXPECT_NE(answer->body.find("<td id=\"ticket\">" + ticket + "</td>"), std::string::npos)
      << answer->body;
  EXPECT_NE(answer->body.find("<td id=\"p2\">x</td>"), std::string::npos);
  EXPECT_NE(answer->body.find("<td id=\"p3\">y</td>"), std::string::npos);
  // Text files are streamed as the module reads them: LF line ends again.
  EXPECT_EQ(answer->body.find('\r'), std::string::npos);
  EXPECT_FALSE(portal.ReadFile("in/" + ticket + ".req"));
  EXPECT_FALSE(portal.ReadFile("out/" + ticket + ".rdy"));

  // The answer was picked up: going back to the URL finds no wait page.
  const auto again = HttpExchange(target);
  ASSERT_TRUE(again);
  EXPECT_NE(again->body.find("(BACK or REFRESH button is forbidden)"), std::string::npos);
}

TEST(PortalE2eTest, BasketAnswerStaysReadyForEveryPoll) {
  Portal portal;
  ASSERT_PORTAL_UP(portal);
  portal.WriteFile("docs/a.pdf", "pdf");
  std::string ticket;
  const auto answer = portal.FetchAnswer(portal.DoCommandUrl("anna", "getqvpanier"), &ticket);
  ASSERT_TRUE(answer);
  EXPECT_NE(answer->body.find("<title>Basket</title>"), std::string::npos) << answer->body;
  for (int poll = 0; poll < 3; ++poll) {
    const auto again = HttpExchange(portal.DoCommandUrl("anna", "getqvpanier", ticket));
    ASSERT_TRUE(again);
    EXPECT_EQ(again->body, answer->body);
  }
  EXPECT_TRUE(portal.ReadFile("out/" + ticket + ".rdy"));
}

TEST(PortalE2eTest, DocumentAnswerDownloadsTheFileByteForByte) {
  Portal portal;
  ASSERT_PORTAL_UP(portal);
  std::string bytes = "%PDF-1.4\r\nline\nlone\rcr";
  bytes.push_back('\0');
  for (int i = 0; i < 5000; ++i) bytes.push_back(static_cast<char>(i % 251));
  portal.WriteFile("docs/plan.pdf", bytes);
  const auto answer = portal.FetchAnswer(portal.DoCommandUrl("anna", "getdoc", "", "plan.pdf"));
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->status, 200);
  EXPECT_EQ(answer->Header("Content-Type"), "application/pdf");
  EXPECT_EQ(answer->CountHeader("Content-Length"), 1);
  EXPECT_EQ(answer->Header("Content-Length"), std::to_string(bytes.size()));
  EXPECT_TRUE(answer->body == bytes) << "body differs; " << answer->body.size() << " bytes";
}

TEST(PortalE2eTest, ListGrantsTheFileSubCommands) {
  Portal portal;
  ASSERT_PORTAL_UP(portal);
  std::string bytes = "abc\r\n";
  for (int i = 0; i < 3000; ++i) bytes.push_back(static_cast<char>('a' + i % 26));
  portal.WriteFile("docs/notes.doc", bytes);
  portal.WriteFile("docs/abc.txt", "abc");
  const auto list = portal.FetchAnswer(portal.DoCommandUrl("anna", "getlist"));
  ASSERT_TRUE(list);
  ASSERT_NE(list->body.find("<title>Documents</title>"), std::string::npos) << list->body;

  // The list's own links, as a browser would follow them.
  const std::size_t name_at = list->body.find(">notes.doc</a>");
  ASSERT_NE(name_at, std::string::npos) << list->body;
  const std::string row = list->body.substr(list->body.rfind("<tr>", name_at));
  const std::string notes_data = HtmlUnescape(Between(row, "class=\"data\" href=\"", "\""));
  const std::string notes_length = HtmlUnescape(Between(row, "class=\"length\" href=\"", "\""));
  ASSERT_FALSE(notes_data.empty());
  ASSERT_FALSE(notes_length.empty());

  const auto data = HttpExchange(notes_data);
  ASSERT_TRUE(data);
  EXPECT_EQ(data->Header("Content-Type"), "application/msword");
  EXPECT_EQ(data->Header("Content-Length"), std::to_string(bytes.size()));
  EXPECT_TRUE(data->body == bytes);

  const auto length = HttpExchange(notes_length);
  ASSERT_TRUE(length);
  EXPECT_EQ(length->body, std::to_string(bytes.size()));

  // A part of the file, and its Base64 text.
  const std::string p1 = portal.Path("docs/notes.doc");
  const auto part = HttpExchange(portal.DoCommandUrl("anna", "getfiledata", p1, "5", "26"));
  ASSERT_TRUE(part);
  EXPECT_EQ(part->body, bytes.substr(5, 26));
  const auto encoded =
      HttpExchange(portal.DoCommandUrl("anna", "getfile", portal.Path("docs/abc.txt"), "0", "3"));
  ASSERT_TRUE(encoded);
  EXPECT_EQ(encoded->body, "||command=getfile||\nYWJj");

  // Another user has no rights list; a file not listed is refused too.
  const auto other = HttpExchange(portal.DoCommandUrl("bob", "getfilelength", p1));
  ASSERT_TRUE(other);
  EXPECT_EQ(other->body, "Access denied (no rights)");
  const auto unlisted =
      HttpExchange(portal.DoCommandUrl("anna", "getfilelength", portal.Path("host.log")));
  ASSERT_TRUE(unlisted);
  EXPECT_EQ(unlisted->body, "Access denied (no rights)");
}

TEST(PortalE2eTest, EventsReachTheBackEnd) {
  Portal portal;
  ASSERT_PORTAL_UP(portal);
  for (const char* fields :
       {"P1=one&P2=two&P3=three", "P1=&P2=&P3=", "P1=caf%E9&P2=a%20b&P3=[ip]"}) {
    const auto done =
        HttpExchange(portal.module_url() + "?DoCommand?Logon=anna&Command=newevent&" + fields);
    ASSERT_TRUE(done);
    EXPECT_EQ(done->body, "Done");
  }
  EXPECT_TRUE(portal.backend().WaitForOutput("event anna: one;two;three\n"));
  EXPECT_TRUE(portal.backend().WaitForOutput("event anna: ;;\n"));
  EXPECT_TRUE(portal.backend().WaitForOutput("event anna: caf\\xE9;a b;[ip]\n"))
      << portal.backend().Output();
  EXPECT_EQ(portal.ReadFile("events/anna.evt"), "one;two;three\r\n;;\r\ncaf\xE9;a b;[ip]\r\n");
}

TEST(PortalE2eTest, PhoneGetsXmlWithItsHeadersWhileWaitingAndAfter) {
  Portal portal(WithBackendDelay(300));
  ASSERT_PORTAL_UP(portal);
  const auto wait = HttpExchange(portal.DoCommandUrl("anna", "ciscolist"));
  ASSERT_TRUE(wait);
  ASSERT_GE(wait->headers.size(), 3u);
  EXPECT_EQ(wait->Header("Content-Type"), "text/xml; charset=ISO-8859-1");
  EXPECT_EQ(wait->Header("Expires"), "-1");
  const auto refresh = wait->Header("Refresh");
  ASSERT_TRUE(refresh);
  EXPECT_EQ(refresh->rfind(
                "1;url=" + portal.module_url() + "?DoCommand?logon=anna&command=ciscolist&p1=", 0),
            0u)
      << *refresh;
  EXPECT_EQ(wait->body.rfind("<CiscoIPPhoneText>", 0), 0u) << wait->body;
  EXPECT_NE(wait->body.find("<Text>Veuillez patienter SVP...</Text>"), std::string::npos);

  std::string ticket;
  const auto answer = portal.FetchAnswer(portal.DoCommandUrl("anna", "ciscolist"), &ticket);
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->Header("Content-Type"), "text/xml; charset=ISO-8859-1");
  EXPECT_EQ(answer->Header("Expires"), "-1");
  EXPECT_FALSE(answer->Header("Refresh"));
  EXPECT_NE(answer->body.find("<Prompt>Ticket " + ticket + "</Prompt>"), std::string::npos)
      << answer->body;
}

TEST(PortalE2eTest, StoreDataBodyLargerThanTheAvailablePart) {
  Portal portal;
  ASSERT_PORTAL_UP(portal);
  // 200 KB, well past the part a web server offers up front; LF bytes gain a
  // CR when stored, zero bytes are stored as "|".
  std::string body;
  std::size_t line_ends = 0;
  for (int i = 0; i < 200 * 1024; ++i) {
    const char c = i % 100 == 99 ? '\n' : (i % 1000 == 7 ? '\0' : static_cast<char>('a' + i % 26));
    line_ends += c == '\n';
    body.push_back(c);
  }
  body += "end";
  const auto stored =
      HttpExchange(portal.module_url() + "?StoreData", "POST", body, "application/octet-stream");
  ASSERT_TRUE(stored);
  EXPECT_EQ(stored->body, std::to_string(body.size() + line_ends));
  ASSERT_TRUE(portal.backend().WaitForOutput("received=" + std::to_string(body.size()) +
                                             " stored=" + std::to_string(body.size() + line_ends)))
      << portal.backend().Output();
  std::string expected;
  for (char c : body) {
    if (c == '\n') expected += '\r';
    expected += c == '\0' ? '|' : c;
  }
  // The back-end removes what it consumed; its report carries the FNV-1a
  // digest of the stored bytes.
  std::uint64_t digest = 0xcbf29ce484222325ULL;
  for (const char c : expected)
    digest = (digest ^ static_cast<unsigned char>(c)) * 0x100000001b3ULL;
  std::ostringstream digest_text;
  digest_text << std::hex << std::setw(16) << std::setfill('0') << digest;
  EXPECT_NE(portal.backend().Output().find(" fnv1a=" + digest_text.str()), std::string::npos)
      << portal.backend().Output();
  const std::string number =
      Between(portal.backend().Output(), "posted ", ": received=" + std::to_string(body.size()));
  EXPECT_FALSE(portal.ReadFile("post/" + number + ".txt"));
  EXPECT_FALSE(portal.ReadFile("post/" + number + ".rdy"));
}

// Binary data may start with a zero byte; it is stored like any other.
TEST(PortalE2eTest, StoreDataBodyStartingWithAZeroByteIsStored) {
  Portal portal;
  ASSERT_PORTAL_UP(portal);
  const std::string body("\0\x89PNG\x1a\0tail", 11);
  const auto stored =
      HttpExchange(portal.module_url() + "?StoreData", "POST", body, "application/octet-stream");
  ASSERT_TRUE(stored);
  EXPECT_EQ(stored->status, 200u);
  EXPECT_EQ(stored->body, "11");
  EXPECT_TRUE(portal.backend().WaitForOutput("received=11 stored=11")) << portal.backend().Output();
}

TEST(PortalE2eTest, PostCommandBodyLargerThanTheAvailablePart) {
  Portal portal;
  ASSERT_PORTAL_UP(portal);
  // A long p4 (an extra field gathered into p3) makes the body 100 KB.
  const std::string body =
      "logon=anna&command=posted&p1=&p2=x%2Cy&p3=first&p4=" + std::string(100 * 1024, 'q') +
      "&p5=last";
  const auto wait = HttpExchange(portal.module_url() + "?PostCommand", "POST", body,
                                 "application/x-www-form-urlencoded");
  ASSERT_TRUE(wait);
  EXPECT_NE(wait->body.find("Veuillez patienter SVP..."), std::string::npos) << wait->body;
  const std::string target = WaitPageTarget(wait->body);
  const std::string ticket = Between(target, "&p1=", "&");
  ASSERT_FALSE(ticket.empty());
  ASSERT_TRUE(portal.backend().WaitForOutput("answered " + ticket + " command=posted"));
  const auto request = portal.ReadFile("in/" + ticket + ".req");
  ASSERT_TRUE(request);
  // p3 gathers the extra fields, each cut to the field capacity.
  const std::string p3 = Between(*request, ticket + "\r\nx,y\r\n", "\r\n");
  EXPECT_EQ(p3.rfind("first|qqqq", 0), 0u) << *request;
  EXPECT_EQ(p3.substr(p3.size() - 5), "|last");
  EXPECT_LE(p3.size(), 8191u);
  const auto answer = portal.FetchAnswer(target);
  ASSERT_TRUE(answer);
  EXPECT_NE(answer->body.find("<td id=\"p2\">x,y</td>"), std::string::npos) << answer->body;
}

TEST(PortalE2eTest, MalformedRequestFileIsAnsweredWithAnErrorPage) {
  Portal portal(WithBackendDelay(0));
  ASSERT_PORTAL_UP(portal);
  // Not the module's work: a file dropped into in/ under a ticket of its own.
  portal.WriteFile("in/999999.req", std::string("\0\x01garbage", 9));
  // The wait page of the request the poll below belongs to.
  portal.WriteFile("out/999999.tmp",
                   "<html>\r\n<head>\r\nvar target=\"http://h:1/m?DoCommand?logon=anna&"
                   "command=hello&p1=999999&p2=&p3=\";\r\n");
  ASSERT_TRUE(portal.backend().WaitForOutput("malformed 999999:", 10s));
  const auto answer = HttpExchange(portal.DoCommandUrl("anna", "hello", "999999"));
  ASSERT_TRUE(answer);
  EXPECT_NE(answer->body.find("<title>Malformed request</title>"), std::string::npos);
  EXPECT_TRUE(portal.backend().Running());
}

}  // namespace
}  // namespace e2e
