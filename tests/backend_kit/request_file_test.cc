// Request and server file parsing: the back-end must take whatever it finds
// in in/ without crashing and say what was wrong with it.

#include "backend_kit/request_file.h"

#include <gtest/gtest.h>

namespace backend_kit {
namespace {

using namespace std::string_literals;

TEST(RequestTest, ParsesTheSixLines) {
  auto parsed = ParseRequestFile("/scripts/dudarovuvadu.dll\nanna\ngetlist\n42\nx\ny\n");
  ASSERT_TRUE(std::holds_alternative<Request>(parsed));
  const Request& r = std::get<Request>(parsed);
  EXPECT_EQ(r.script_name, "/scripts/dudarovuvadu.dll");
  EXPECT_EQ(r.logon, "anna");
  EXPECT_EQ(r.command, "getlist");
  EXPECT_EQ(r.ticket, "42");
  EXPECT_EQ(r.p2, "x");
  EXPECT_EQ(r.p3, "y");
}

TEST(RequestTest, EmptyFieldsAndMultiLineP3) {
  auto parsed = ParseRequestFile("/s\n\necho\n7\n\nline one\nline two\n");
  ASSERT_TRUE(std::holds_alternative<Request>(parsed));
  EXPECT_EQ(std::get<Request>(parsed).logon, "");
  EXPECT_EQ(std::get<Request>(parsed).p2, "");
  EXPECT_EQ(std::get<Request>(parsed).p3, "line one\nline two");
}

TEST(RequestTest, MalformedFilesAreRefusedWithAReason) {
  const std::string cases[] = {
      "",
      "/s\nanna\ngetlist\n42\nx\n",           // five lines
      "/s\nanna\ngetlist\n42\nx\ny",          // last line unfinished
      "no-slash\nanna\ngetlist\n42\nx\ny\n",  // not a script name first
      "/s\nanna\nget\x01list\n42\nx\ny\n",    // control byte in the command
      "/s\nanna\nget\0list\n42\nx\ny\n"s,
      "/s\n" + std::string(kMaxRequestFileBytes, 'a') + "\n\n\n\n\n",
  };
  for (const std::string& text : cases) {
    auto parsed = ParseRequestFile(text);
    ASSERT_TRUE(std::holds_alternative<Malformed>(parsed)) << text.substr(0, 40);
    EXPECT_FALSE(std::get<Malformed>(parsed).reason.empty());
  }
}

TEST(RequestTest, CompleteOnlyWithSixLineEnds) {
  EXPECT_FALSE(RequestFileComplete(""));
  EXPECT_FALSE(RequestFileComplete("/s\na\nb\nc\nd\ne"));
  EXPECT_TRUE(RequestFileComplete("/s\na\nb\nc\nd\ne\n"));
}

TEST(RequestTest, ServerFile) {
  auto server = ParseServerFile("http\nlocalhost\n8080\n");
  ASSERT_TRUE(server);
  EXPECT_EQ(ModuleUrl(*server, "/scripts/dudarovuvadu.dll"),
            "http://localhost:8080/scripts/dudarovuvadu.dll");
  EXPECT_FALSE(ParseServerFile("http\nlocalhost\n"));
  EXPECT_FALSE(ParseServerFile("http\n\n8080\n"));
  EXPECT_FALSE(ParseServerFile("http\nevil\rhost\n8080\n"));
}

}  // namespace
}  // namespace backend_kit
