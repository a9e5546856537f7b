// A real browser against the portal: headless Chromium opens a portal URL,
// runs the wait page's script, reloads and ends on the back-end's answer; a
// form submitted in the browser reaches the back-end through PostCommand.
// --virtual-time-budget lets the page's one-second timer run without
// waiting for it; --dump-dom prints the page the browser ended on.

#include <gtest/gtest.h>
#include <unistd.h>

#include "tests/e2e/portal_fixture.h"

namespace e2e {
namespace {

using namespace std::chrono_literals;

constexpr const char* kChromium = "/usr/bin/chromium";

// The DOM Chromium ends on after opening `url`; "" when it failed.
std::string BrowseTo(Portal& portal, const std::string& url, const std::string& name) {
  ChildProcess browser;
  const std::string profile = portal.Path("chromium-" + name);
  const bool started = browser.Start(
      {kChromium, "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
       "--disable-background-networking", "--disable-component-update", "--disable-sync",
       "--disable-quic", "--disable-dev-shm-usage", "--user-data-dir=" + profile,
       "--virtual-time-budget=10000", "--dump-dom", url},
      portal.Path(name + ".dom"), portal.Path(name + ".log"));
  if (!started) return {};
  const auto status = browser.WaitForExit(90s);
  if (!status) ADD_FAILURE() << "Chromium did not finish within 90 s";
  return portal.ReadFile(name + ".dom").value_or("");
}

class BrowserE2eTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::access(kChromium, X_OK) != 0) {
      GTEST_SKIP() << kChromium << " is missing (Debian package chromium)";
    }
  }
};

TEST_F(BrowserE2eTest, WaitPageReloadsUntilTheAnswer) {
  Portal portal({.backend_delay_ms = 200});
  ASSERT_TRUE(portal.error().empty()) << portal.error();
  const std::string dom =
      BrowseTo(portal, portal.DoCommandUrl("anna", "browser", "", "seen", "in%20chromium"), "wait");
  EXPECT_NE(dom.find("<td id=\"command\">browser</td>"), std::string::npos)
      << dom << "\n"
      << portal.ReadFile("wait.log").value_or("");
  EXPECT_NE(dom.find("<td id=\"p2\">seen</td>"), std::string::npos);
  EXPECT_NE(dom.find("<td id=\"p3\">in chromium</td>"), std::string::npos);
  EXPECT_EQ(dom.find("Veuillez patienter"), std::string::npos);
  // The browser went through the wait page: the host served the new request
  // and at least one reload carrying the ticket.
  EXPECT_TRUE(portal.backend().WaitForOutput("command=browser logon=anna"));
  EXPECT_NE(portal.host().Output().find("&p1=1&"), std::string::npos) << portal.host().Output();
}

TEST_F(BrowserE2eTest, FormSubmittedInTheBrowserReachesTheBackEndThroughPostCommand) {
  Portal portal;
  ASSERT_TRUE(portal.error().empty()) << portal.error();
  // A page with a form like the back-end's own, submitted as soon as it loads.
  portal.WriteFile("form.html",
                   "<html><body onload=\"document.getElementById('f').submit()\">\n"
                   "<form id=\"f\" method=\"post\" action=\"" +
                       portal.module_url() +
                       "?PostCommand\">\n"
                       "<input name=\"logon\" value=\"anna\">\n"
                       "<input name=\"command\" value=\"posted\">\n"
                       "<input name=\"p1\" value=\"\">\n"
                       "<input name=\"p2\" value=\"from-the-form\">\n"
                       "<textarea name=\"p3\">a&amp;b=c</textarea>\n"
                       "<input name=\"p4\" value=\"extra\">\n"
                       "</form></body></html>\n");
  const std::string dom = BrowseTo(portal, "file://" + portal.Path("form.html"), "form");
  EXPECT_NE(dom.find("<td id=\"command\">posted</td>"), std::string::npos)
      << dom << "\n"
      << portal.ReadFile("form.log").value_or("");
  EXPECT_NE(dom.find("<td id=\"p2\">from-the-form</td>"), std::string::npos);
  // The browser encoded "a&b=c" as a%26b%3Dc; the module decoded it and
  // gathered p4 into p3.
  EXPECT_NE(dom.find("<td id=\"p3\">a&amp;b=c|extra</td>"), std::string::npos);
  EXPECT_NE(portal.host().Output().find("POST /scripts/dudarovuvadu.dll?PostCommand"),
            std::string::npos)
      << portal.host().Output();
}

}  // namespace
}  // namespace e2e
