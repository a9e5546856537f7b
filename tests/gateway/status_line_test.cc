// The status table and the status line formed from it.
#include "gateway/status_line.h"

#include <gtest/gtest.h>

namespace gateway {
namespace {

TEST(StatusLineTest, FormsTheLineOfEveryCodeAndFallsBackToOk) {
  const struct {
    unsigned code;
    const char* line;
  } cases[] = {
      {200, "200 OK"},
      {204, "204 No Content"},
      {301, "301 Moved Permanently"},
      {302, "302 Moved Temporarily"},
      {400, "400 Bad Request"},
      {413, "413 Request entity was too large"},
      {500, "500 Internal Server Error"},
      {501, "501 Not Implemented"},
      {503, "503 Service Unavailable"},
      {0, "200 OK"},
      {999, "200 OK"},
      {418, "200 OK"},
  };
  for (const auto& c : cases) EXPECT_EQ(FormatStatusLine(c.code), c.line) << c.code;
  EXPECT_EQ(FormatStatusLine(413).size(), 32u);
}

}  // namespace
}  // namespace gateway
