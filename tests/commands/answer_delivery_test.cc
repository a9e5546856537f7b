// Whole requests whose answer is a download of the file the answer's first
// line names, or a phone answer for a command containing "cisco".
#include <gtest/gtest.h>

#include <string>

#include "tests/commands/query_test_support.h"

namespace commands {
namespace {

using testing::AnsweredPoll;
using testing::BackslashName;
using testing::DoCommandQuery;
using testing::ErrorPage;
using testing::Headers;
using testing::RunQuery;
using testing::TicketOf;

TEST(AnswerDeliveryTest, FirstLineNamingAFileGivesItsBytesUntranslated) {
  struct Case {
    std::string file_name, headers;
  };
  const Case cases[] = {
      {"a.pdf", "Content-Type: application/pdf\r\n"},
      {"report.doc.pdf", "Content-Type: application/msword\r\nContent-Type: application/pdf\r\n"},
      {"plan.qv", "Content-Type: application/x-qv-compressed\r\n"},
      {"notes.txt", ""},
  };
  // Bytes a text-mode read would change, and more than one 1024-byte chunk.
  std::string bytes = std::string("\r\n\0\x1A\r", 5);
  for (int i = 0; i < 3000; ++i) bytes.push_back(static_cast<char>(i * 7));
  for (const Case& c : cases) {
    harness::SpoolRoot root;
    root.MakeDir("files");
    root.WriteFile("files/" + c.file_name, bytes);
    // \\tmp\...\files\a.pdf opens //tmp/.../files/a.pdf on POSIX.
    const harness::Response response = AnsweredPoll(
        root, "getdoc", BackslashName(root.Path("files/" + c.file_name)) + "\nignored\n");
    EXPECT_EQ(Headers(response), c.headers + "Content-length: 3005\r\n") << c.file_name;
    EXPECT_EQ(response.body(), bytes) << c.file_name;
  }
}

TEST(AnswerDeliveryTest, EmptyDownloadHasLengthZero) {
  harness::SpoolRoot root;
  root.MakeDir("files");
  root.WriteFile("files/empty.pdf", "");
  const harness::Response response =
      AnsweredPoll(root, "getdoc", BackslashName(root.Path("files/empty.pdf")) + "\r\n");
  EXPECT_EQ(Headers(response), "Content-Type: application/pdf\r\nContent-length: 0\r\n");
  EXPECT_EQ(response.body(), "");
}

TEST(AnswerDeliveryTest, MissingDownloadGivesThePurgedPageWithTheNameEscaped) {
  struct Case {
    std::string first_line, shown;
  };
  const Case cases[] = {
      {"x:\\nowhere\\a.pdf\n", "x:\\nowhere\\a.pdf"},
      {"\\\\srv\\<docs>\\a&b.pdf\n", "\\\\srv\\&lt;docs&gt;\\a&amp;b.pdf"},
  };
  for (const Case& c : cases) {
    harness::SpoolRoot root;
    const harness::Response response = AnsweredPoll(root, "getdoc", c.first_line);
    EXPECT_EQ(Headers(response), "Content-Type: text/html\r\n");
    EXPECT_EQ(response.body(),
              ErrorPage("Can't open '" + c.shown + "' (May have been already purged)"));
  }
}

TEST(AnswerDeliveryTest, DownloadNameOver255CharactersIsNotOpened) {
  harness::SpoolRoot root;
  // A real file whose name, written with backslashes, is longer than 255.
  std::string relative = "files";
  while (BackslashName(root.Path(relative)).size() < 250) relative += "/dddddddddd";
  root.MakeDir(relative);
  relative += "/a.pdf";
  root.WriteFile(relative, "secret");
  const std::string name = BackslashName(root.Path(relative));
  ASSERT_GT(name.size(), 255u);
  const harness::Response response = AnsweredPoll(root, "getdoc", name + "\n");
  EXPECT_EQ(response.body(), ErrorPage("Can't open '" + name + "' (May have been already purged)"));
}

TEST(AnswerDeliveryTest, PhoneWaitPageSendsItsRefreshLineAsAHeader) {
  harness::SpoolRoot root;
  const harness::Response response = RunQuery(DoCommandQuery("anna", "ciscolist"));
  const std::string headers = Headers(response);
  const std::string prefix =
      "Content-Type: text/xml; charset=ISO-8859-1\r\nExpires: -1\r\n"
      "Refresh: 1;url=http://portal.example:8080/scripts/dudarovuvadu.dll?DoCommand?"
      "logon=anna&command=ciscolist&p1=";
  EXPECT_EQ(headers.rfind(prefix, 0), 0u) << headers;
  EXPECT_TRUE(headers.ends_with("&p2=&p3=\r\n")) << headers;
  EXPECT_EQ(response.body(),
            "<CiscoIPPhoneText>\r\n<Title>Quorvel</Title>\r\n"
            "<Text>Veuillez patienter SVP...</Text>\r\n</CiscoIPPhoneText>\r\n");
}

TEST(AnswerDeliveryTest, PhoneAnswersGetTheirHeadersAndTheFileAsBody) {
  const std::string xml_headers = "Content-Type: text/xml; charset=ISO-8859-1\r\nExpires: -1\r\n";
  struct Case {
    std::string command, answer, headers, body;
  };
  const Case cases[] = {
      {"ciscomenu", "<CiscoIPPhoneMenu>\n</CiscoIPPhoneMenu>\n", xml_headers,
       "<CiscoIPPhoneMenu>\n</CiscoIPPhoneMenu>\n"},
      {"xciscox", "Refresh: 5\n<x/>\n", xml_headers + "Refresh: 5\n", "<x/>\n"},
      {"ciscomenu", "refresh: 5\n<x/>\n", xml_headers, "refresh: 5\n<x/>\n"},  // small r
      {"ciscomenu", "", xml_headers, ""},
      {"CISCOmenu", "Refresh: 5\n<x/>\n", "", "Refresh: 5\n<x/>\n"},  // case-sensitive
  };
  for (const Case& c : cases) {
    harness::SpoolRoot root;
    const harness::Response response = AnsweredPoll(root, c.command, c.answer);
    EXPECT_EQ(Headers(response), c.headers) << c.command << " " << c.answer;
    EXPECT_EQ(response.body(), c.body) << c.command << " " << c.answer;
  }
}

TEST(AnswerDeliveryTest, PhoneHeaderCutOffBeforeItsLineEndIsEnded) {
  harness::SpoolRoot root;
  const harness::Response response = AnsweredPoll(root, "ciscomenu", "Refresh: 5");
  EXPECT_EQ(Headers(response),
            "Content-Type: text/xml; charset=ISO-8859-1\r\nExpires: -1\r\nRefresh: 5\r\n");
  EXPECT_EQ(response.body(), "");
}

TEST(AnswerDeliveryTest, PhoneCommandWhoseAnswerNamesAFileGetsTheDownload) {
  harness::SpoolRoot root;
  root.MakeDir("files");
  root.WriteFile("files/a.pdf", "%PDF");
  const harness::Response response =
      AnsweredPoll(root, "ciscodoc", BackslashName(root.Path("files/a.pdf")) + "\n");
  EXPECT_EQ(Headers(response), "Content-Type: application/pdf\r\nContent-length: 4\r\n");
  EXPECT_EQ(response.body(), "%PDF");
}

}  // namespace
}  // namespace commands
