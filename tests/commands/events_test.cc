// Whole "newevent" requests: the appended line, the answers, and the
// refusals that keep every event one line in the user's own file.
#include <gtest/gtest.h>

#include <string>

#include "tests/commands/query_test_support.h"

namespace commands {
namespace {

using testing::DoCommandQuery;
using testing::ErrorPage;
using testing::FilesUnder;
using testing::Headers;
using testing::RunQuery;

TEST(EventsTest, EachEventAppendsOneTextLine) {
  harness::SpoolRoot root;
  const harness::Response first =
      RunQuery(DoCommandQuery("anna", "newevent", "one", "two", "three"));
  EXPECT_EQ(Headers(first), "");
  EXPECT_EQ(first.body(), "Done");
  // P3 is used as received ("[ip]" and the token play no part), no ticket.
  EXPECT_EQ(RunQuery(DoCommandQuery("anna", "newevent", "", "", "[ip]", "tok")).body(), "Done");
  EXPECT_EQ(RunQuery(DoCommandQuery("anna", "newevent", "a;b", "\xE9t\xE9", "")).body(), "Done");
  EXPECT_EQ(root.ReadFile("events/anna.evt"), "one;two;three\r\n;;[ip]\r\na;b;\xE9t\xE9;\r\n");
  EXPECT_TRUE(std::filesystem::is_empty(root.Path("in")));
}

TEST(EventsTest, MissingEventsDirectoryIsNamedInTheErrorPage) {
  harness::SpoolRoot root;
  std::filesystem::remove_all(root.Path("events"));
  const harness::Response response = RunQuery(DoCommandQuery("an&na", "newevent", "1", "2", "3"));
  EXPECT_EQ(Headers(response), "Content-Type: text/html\r\n");
  EXPECT_EQ(response.body(), ErrorPage("Can't open '" + root.Path("events/an&amp;na.evt") +
                                       "' (Directory 'events' may not exist)"));
}

TEST(EventsTest, LogonThatCouldNameAnotherFileIsRefused) {
  harness::SpoolRoot root;
  const auto before = FilesUnder(root.path());
  const std::string long_logon(250, 'l');  // events/<logon>.evt over 255 characters
  for (const std::string& logon :
       {std::string("../outside"), std::string("..\\outside"), std::string("c:outside"),
        std::string("a\nb"), std::string("a\x01"), long_logon,
        // A Windows device and a second name of anna's file.
        std::string("CON"), std::string("nul.txt"), std::string("anna.")}) {
    EXPECT_EQ(RunQuery(DoCommandQuery(logon, "newevent", "1", "2", "3")).body(),
              ErrorPage("Invalid logon"))
        << logon.substr(0, 20);
  }
  EXPECT_EQ(FilesUnder(root.path()), before);
}

TEST(EventsTest, FieldWithLineEndIsRefused) {
  harness::SpoolRoot root;
  root.WriteFile("events/anna.evt", "old;event;1\r\n");
  for (const auto& [p1, p2, p3] :
       {std::tuple<std::string, std::string, std::string>{"a\nforged", "", ""},
        {"", "b\r", ""},
        {"", "", "c\r\nforged;x;y"}}) {
    EXPECT_EQ(RunQuery(DoCommandQuery("anna", "newevent", p1, p2, p3)).body(),
              ErrorPage("Invalid parameter (line end)"));
  }
  EXPECT_EQ(root.ReadFile("events/anna.evt"), "old;event;1\r\n");
}

TEST(EventsTest, EventWriteFailureIsNotReportedAsDone) {
  if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  harness::SpoolRoot root;
  // Opens for appending, then every write fails as on a full disk.
  std::filesystem::create_symlink("/dev/full", root.Path("events/anna.evt"));
  const harness::Response response = RunQuery(DoCommandQuery("anna", "newevent", "1", "2", "3"));
  EXPECT_EQ(Headers(response), "Content-Type: text/html\r\n");
  EXPECT_EQ(response.body(), ErrorPage("Can't write '" + root.Path("events/anna.evt") + "'"));
}

}  // namespace
}  // namespace commands
