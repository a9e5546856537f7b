// Tests of server variables and the size rules of GetServerVariable.
#include "hosts/extension/server_variables.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>

namespace hosts {
namespace {

TEST(ServerVariablesTest, SizeRulesOfTheCopy) {
  ServerVariables variables;
  variables.Set("SERVER_PORT", "8080");  // needs 5 bytes with its terminator
  const struct {
    const char* name;
    DWORD capacity;
    bool ok;
    DWORD size_after;
    int error;
  } cases[] = {
      {"SERVER_PORT", 64, true, 5, 0},         {"SERVER_PORT", 5, true, 5, 0},  // exactly enough
      {"SERVER_PORT", 4, false, 5, ENOBUFS},    // one short: the size needed
      {"SERVER_PORT", 0, false, 5, ENOBUFS},    // a size query
      {"server_port", 64, true, 5, 0},          // names ignore case
      {"SERVER_PORTS", 64, false, 64, ENOENT},  // unknown: size untouched
  };
  for (const auto& test : cases) {
    char buffer[64];
    std::memset(buffer, '#', sizeof buffer);
    DWORD size = test.capacity;
    errno = 0;
    const bool ok = variables.CopyTo(test.name, buffer, &size);
    EXPECT_EQ(ok, test.ok) << test.name << " " << test.capacity;
    EXPECT_EQ(size, test.size_after) << test.name << " " << test.capacity;
    if (ok) {
      EXPECT_STREQ(buffer, "8080");
    } else {
      EXPECT_EQ(errno, test.error) << test.name << " " << test.capacity;
      // A failed copy never writes into the buffer.
      EXPECT_EQ(buffer[0], '#');
    }
  }
}

TEST(ServerVariablesTest, NullBufferReportsTheSizeNeeded) {
  ServerVariables variables;
  variables.Set("SCRIPT_NAME", "/scripts/dudarovuvadu.dll");
  DWORD size = 100;
  EXPECT_FALSE(variables.CopyTo("SCRIPT_NAME", nullptr, &size));
  EXPECT_EQ(size, 26u);
  EXPECT_FALSE(variables.CopyTo(nullptr, nullptr, &size));
  EXPECT_EQ(errno, EINVAL);
}

TEST(ServerVariablesTest, EmptyValueNeedsOnlyItsTerminator) {
  ServerVariables variables;
  variables.Set("QUERY_STRING", "");
  char buffer[1] = {'#'};
  DWORD size = 1;
  ASSERT_TRUE(variables.CopyTo("QUERY_STRING", buffer, &size));
  EXPECT_EQ(size, 1u);
  EXPECT_EQ(buffer[0], '\0');
}

TEST(ServerVariablesTest, RequestHeadersBecomeHttpVariables) {
  ServerVariables variables;
  variables.AddRequestHeader("User-Agent", "Allegro-Software-WebClient/4.34");
  variables.AddRequestHeader("x-probe", "one");
  variables.AddRequestHeader("X-Probe", "two");
  ASSERT_NE(variables.Find("HTTP_USER_AGENT"), nullptr);
  EXPECT_EQ(*variables.Find("HTTP_USER_AGENT"), "Allegro-Software-WebClient/4.34");
  ASSERT_NE(variables.Find("HTTP_X_PROBE"), nullptr);
  EXPECT_EQ(*variables.Find("HTTP_X_PROBE"), "one, two");
  EXPECT_EQ(variables.Find("HTTP_ACCEPT"), nullptr);
  ASSERT_NE(variables.Find("ALL_HTTP"), nullptr);
  EXPECT_EQ(
      *variables.Find("ALL_HTTP"),
      "HTTP_USER_AGENT:Allegro-Software-WebClient/4.34\nHTTP_X_PROBE:one\nHTTP_X_PROBE:two\n");
}

TEST(ServerVariablesTest, SetReplacesAnEarlierValue) {
  ServerVariables variables;
  variables.Set("SERVER_NAME", "first");
  variables.Set("server_name", "second");
  ASSERT_NE(variables.Find("SERVER_NAME"), nullptr);
  EXPECT_EQ(*variables.Find("SERVER_NAME"), "second");
}

TEST(ServerVariablesTest, FoundValueStaysRightAfterLaterChanges) {
  ServerVariables variables;
  variables.Set("SERVER_NAME", "portal.example");
  variables.AddRequestHeader("X-Probe", "one");
  const std::string_view name = *variables.Find("SERVER_NAME");
  const std::string_view probe = *variables.Find("HTTP_X_PROBE");
  // Past any room reserved at first, and a value replaced.
  for (int i = 0; i < 50; ++i) variables.Set("X_" + std::to_string(i), std::string(40, 'v'));
  variables.AddRequestHeader("X-Probe", "two");
  variables.Set("SERVER_NAME", "other.example");
  EXPECT_EQ(name, "portal.example");
  EXPECT_EQ(probe, "one");
  EXPECT_EQ(*variables.Find("SERVER_NAME"), "other.example");
  EXPECT_EQ(*variables.Find("HTTP_X_PROBE"), "one, two");
}

TEST(ServerVariablesTest, ContentLengthInDecimal) {
  for (const auto& [length, text] : {std::pair<std::uint64_t, const char*>{0, "0"},
                                     {4096, "4096"},
                                     {18446744073709551615u, "18446744073709551615"}}) {
    ServerVariables variables;
    variables.SetContentLength(length);
    char buffer[32];
    DWORD size = sizeof buffer;
    ASSERT_TRUE(variables.CopyTo("CONTENT_LENGTH", buffer, &size)) << text;
    EXPECT_STREQ(buffer, text);
  }
}

}  // namespace
}  // namespace hosts
