// Answers of the stand-in back-end: each kind of command, hostile fields
// included, gives what the module and the browser expect.

#include "tools/backend/answers.h"

#include <gtest/gtest.h>

#include "tools/backend/escapes.h"

namespace tools {
namespace {

AnswerInput Input(std::string command) {
  AnswerInput input;
  input.ticket = "42";
  input.request = Request{"/scripts/dudarovuvadu.dll", "anna", std::move(command), "42", "x", "y"};
  input.server = ServerInfo{"http", "portal.example", "8080"};
  input.documents_folder = "/srv/docs";
  input.documents = {Document{"a b.pdf", "/srv/docs/a b.pdf", 6},
                     Document{"r\xE9sum\xE9&<1>.doc", "/srv/docs/r\xE9sum\xE9&<1>.doc", 10}};
  return input;
}

TEST(AnswersTest, CommandClasses) {
  const struct {
    const char* command;
    AnswerKind kind;
  } cases[] = {
      {"getlist", AnswerKind::kList},     {"GETLIST", AnswerKind::kEcho},
      {"getlist ", AnswerKind::kEcho},    {"getdoc", AnswerKind::kDocument},
      {"ciscolist", AnswerKind::kPhone},  {"mycisco", AnswerKind::kPhone},
      {"ciscogetqv", AnswerKind::kPhone}, {"getqvpanier", AnswerKind::kBasket},
      {"form", AnswerKind::kForm},        {"anything", AnswerKind::kEcho},
  };
  for (const auto& c : cases) EXPECT_EQ(ClassifyCommand(c.command), c.kind) << c.command;
}

TEST(AnswersTest, ListGrantsEveryDocumentInTheFormItsLinksSend) {
  const Answer answer = BuildAnswer(Input("getlist"));
  ASSERT_FALSE(answer.error);
  ASSERT_TRUE(answer.rights_list);
  EXPECT_EQ(*answer.rights_list, "/srv/docs/a[20]b.pdf\n/srv/docs/r[E9]sum[E9][26][3C]1[3E].doc\n");
  // The getfiledata link carries exactly the rights-list entry in P1 and the
  // size in P3, under the URL the server file names.
  EXPECT_NE(answer.text.find("href=\"http://portal.example:8080/scripts/dudarovuvadu.dll"
                             "?DoCommand?Logon=anna&amp;Command=getfiledata"
                             "&amp;P1=/srv/docs/a[20]b.pdf&amp;P2=0&amp;P3=6\""),
            std::string::npos)
      << answer.text;
  EXPECT_NE(answer.text.find("Command=getfilelength&amp;P1=/srv/docs/a[20]b.pdf"),
            std::string::npos);
  // The shown name is HTML-escaped; no raw markup from a file name.
  EXPECT_NE(answer.text.find("r\xE9sum\xE9&amp;&lt;1&gt;.doc</a>"), std::string::npos);
  EXPECT_EQ(answer.text.find("<1>"), std::string::npos);
}

// The module reads a rights-list line of at most 1023 characters whole; a
// document whose entry is longer is neither listed nor granted.
TEST(AnswersTest, ListNeverWritesAnEntryLongerThanTheModuleReads) {
  AnswerInput input = Input("getlist");
  const std::string fits = "/srv/docs/" + std::string(kMaxRightsEntryChars - 10, 'f');
  const std::string too_long = "/srv/docs/" + std::string(kMaxRightsEntryChars - 9, 'l');
  input.documents = {Document{"fits", fits, 1}, Document{"too long", too_long, 2}};
  const Answer answer = BuildAnswer(input);
  ASSERT_TRUE(answer.rights_list);
  EXPECT_EQ(*answer.rights_list, fits + "\n");
  EXPECT_EQ(answer.text.find(too_long), std::string::npos);
}

TEST(AnswersTest, ListRefusedWithoutServerFileOrWithAPathLogon) {
  AnswerInput input = Input("getlist");
  input.server.reset();
  Answer answer = BuildAnswer(input);
  EXPECT_TRUE(answer.error);
  EXPECT_FALSE(answer.rights_list);

  input = Input("getlist");
  input.request.logon = "../../etc/x";
  answer = BuildAnswer(input);
  EXPECT_TRUE(answer.error);
  EXPECT_FALSE(answer.rights_list);
}

TEST(AnswersTest, BasketListsAndGrantsLikeTheList) {
  const Answer answer = BuildAnswer(Input("getqvpanier"));
  EXPECT_FALSE(answer.error);
  EXPECT_TRUE(answer.rights_list);
  EXPECT_NE(answer.text.find("<title>Basket</title>"), std::string::npos);
}

TEST(AnswersTest, DocumentAnswerNamesTheFileForADownload) {
  AnswerInput input = Input("getdoc");
  input.request.p2 = "a b.pdf";
  const Answer answer = BuildAnswer(input);
  ASSERT_FALSE(answer.error);
  EXPECT_EQ(answer.text, "\\\\srv\\docs\\a b.pdf\n");
}

TEST(AnswersTest, DocumentAnswerServesOnlyListedDocuments) {
  for (const char* name : {"", "missing.pdf", "../docs/a b.pdf", "/srv/docs/a b.pdf", "."}) {
    AnswerInput input = Input("getdoc");
    input.request.p2 = name;
    const Answer answer = BuildAnswer(input);
    EXPECT_TRUE(answer.error) << name;
    // An error page never starts like a download line.
    EXPECT_NE(answer.text.substr(0, 2), "\\\\") << name;
  }
}

TEST(AnswersTest, DownloadLines) {
  const struct {
    const char* path;
    std::optional<std::string> line;
  } cases[] = {
      {"/srv/docs/a.pdf", "\\\\srv\\docs\\a.pdf"},
      {"/a", "\\\\a"},
      {"relative/a.pdf", std::nullopt},
      {"/", std::nullopt},
      {"/srv/odd\\name", std::nullopt},
      {"/srv/line\nend", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(DownloadLine(c.path), c.line) << c.path;
  EXPECT_TRUE(DownloadLine("/" + std::string(253, 'a')));   // 255 characters
  EXPECT_FALSE(DownloadLine("/" + std::string(254, 'a')));  // 256: too long
}

TEST(AnswersTest, PhoneAnswerIsEscapedXmlWithoutAHeaderLine) {
  AnswerInput input = Input("ciscolist");
  input.request.logon = "<a&b>";
  const Answer answer = BuildAnswer(input);
  EXPECT_EQ(answer.text.rfind("<CiscoIPPhoneText>\n", 0), 0u);
  EXPECT_NE(answer.text.find("ciscolist for &lt;a&amp;b&gt;: 2 documents"), std::string::npos);
  EXPECT_NE(answer.text.find("</CiscoIPPhoneText>\n"), std::string::npos);
}

TEST(AnswersTest, EchoShowsEveryFieldEscaped) {
  AnswerInput input = Input("hello");
  input.request.p2 = "<b>bold</b>";
  input.request.p3 = "\"quoted\" & 'single'";
  const Answer answer = BuildAnswer(input);
  EXPECT_NE(answer.text.find("<td id=\"command\">hello</td>"), std::string::npos);
  EXPECT_NE(answer.text.find("<td id=\"p2\">&lt;b&gt;bold&lt;/b&gt;</td>"), std::string::npos);
  EXPECT_NE(answer.text.find("<td id=\"p3\">&quot;quoted&quot; &amp; &#39;single&#39;</td>"),
            std::string::npos);
  EXPECT_NE(answer.text.find("<td id=\"ticket\">42</td>"), std::string::npos);
}

TEST(AnswersTest, FormPostsToPostCommandOfTheSameModule) {
  const Answer answer = BuildAnswer(Input("form"));
  EXPECT_NE(answer.text.find("action=\"http://portal.example:8080/scripts/dudarovuvadu.dll"
                             "?PostCommand\""),
            std::string::npos);
  for (const char* field : {"logon", "command", "p1", "p2", "p3", "p4"}) {
    EXPECT_NE(answer.text.find(std::string("name=\"") + field + "\""), std::string::npos) << field;
  }
}

TEST(AnswersTest, MalformedAnswerIsAnEscapedErrorPage) {
  const Answer answer = MalformedAnswer("9<", "bad <line>");
  EXPECT_TRUE(answer.error);
  EXPECT_NE(answer.text.find("bad &lt;line&gt;"), std::string::npos);
  EXPECT_NE(answer.text.find("Ticket 9&lt;"), std::string::npos);
}

TEST(AnswersTest, LogonsThatCanNameARightsList) {
  EXPECT_TRUE(LogonUsableInFileName("anna"));
  EXPECT_TRUE(LogonUsableInFileName(""));
  EXPECT_TRUE(LogonUsableInFileName(".."));  // "~...lst" stays in rights/
  EXPECT_FALSE(LogonUsableInFileName("a/b"));
  EXPECT_FALSE(LogonUsableInFileName("a\nb"));
  EXPECT_FALSE(LogonUsableInFileName(std::string(251, 'a')));
}

}  // namespace
}  // namespace tools
