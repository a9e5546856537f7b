// A real browser against the portal: headless Chromium opens a portal URL,
// runs the wait page's script, reloads and ends on the back-end's answer; a
// form submitted in the browser reaches the back-end through PostCommand.

#include <gtest/gtest.h>
#include <unistd.h>

#include "tests/e2e/headless_browser.h"
#include "tests/e2e/portal_fixture.h"
#include "tests/hosts/http_client.h"

namespace e2e {
namespace {

using namespace std::chrono_literals;

class BrowserE2eTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::access(HeadlessBrowser::kChromium, X_OK) != 0) {
      GTEST_SKIP() << HeadlessBrowser::kChromium << " is missing (Debian package chromium)";
    }
  }
};

TEST_F(BrowserE2eTest, WaitPageReloadsUntilTheAnswer) {
  // The answer is held back long enough that the browser must show the wait
  // page and reload at least once. The host prints whole queries, so that
  // the reload the browser made can be read back.
  Portal::Options options = WithBackendDelay(1500);
  options.host_options = {"--access-log-query"};
  Portal portal(options);
  ASSERT_TRUE(portal.error().empty()) << portal.error();
  HeadlessBrowser browser;
  ASSERT_TRUE(browser.Start(portal.Path("chromium"), portal.Path("chromium.log")))
      << portal.ReadFile("chromium.log").value_or("");
  ASSERT_TRUE(browser.Open(portal.DoCommandUrl("anna", "browser", "", "seen", "in%20chromium")));

  const std::string waiting = browser.WaitForDom("Veuillez patienter SVP...", 10s);
  EXPECT_NE(waiting.find("Veuillez patienter SVP..."), std::string::npos) << waiting;
  const std::string dom = browser.WaitForDom("<td id=\"command\">browser</td>", 20s);
  EXPECT_NE(dom.find("<td id=\"command\">browser</td>"), std::string::npos)
      << dom << "\n"
      << portal.host().Output();
  EXPECT_NE(dom.find("<td id=\"p2\">seen</td>"), std::string::npos);
  EXPECT_NE(dom.find("<td id=\"p3\">in chromium</td>"), std::string::npos);
  EXPECT_EQ(dom.find("Veuillez patienter"), std::string::npos);
  // The browser itself reloaded the ticket's URL that the wait page named.
  EXPECT_NE(portal.host().Output().find("?DoCommand?logon=anna&command=browser&p1=1&p2=seen"),
            std::string::npos)
      << portal.host().Output();
}

TEST_F(BrowserE2eTest, WaitPageReloadsUntilTheAnswerOverHttps) {
  hosts_test::TestCertificate tls;
  ASSERT_TRUE(tls.made());
  Portal::Options options = WithBackendDelay(1500);
  options.host_options = {
      "--listen", "https://{address}:8443", "--tls-cert", tls.cert(), "--tls-key", tls.key()};
  Portal portal(options);
  ASSERT_TRUE(portal.error().empty()) << portal.error();
  HeadlessBrowser browser;
  ASSERT_TRUE(browser.Start(portal.Path("chromium"), portal.Path("chromium.log")))
      << portal.ReadFile("chromium.log").value_or("");
  // http://ADDRESS:8080/... becomes https://ADDRESS:8443/...
  std::string url = portal.DoCommandUrl("anna", "browser", "", "secure", "in%20chromium");
  const std::size_t port_at = url.find(":8080/");
  ASSERT_NE(port_at, std::string::npos) << url;
  url = "https" + url.substr(4, port_at - 4) + ":8443" + url.substr(port_at + 5);
  ASSERT_TRUE(browser.Open(url));
  const std::string dom = browser.WaitForDom("<td id=\"command\">browser</td>", 20s);
  EXPECT_NE(dom.find("<td id=\"p2\">secure</td>"), std::string::npos) << dom << "\n"
                                                                      << portal.host().Output();
  EXPECT_EQ(dom.find("Veuillez patienter"), std::string::npos);
}

TEST_F(BrowserE2eTest, FormSubmittedInTheBrowserReachesTheBackEndThroughPostCommand) {
  Portal portal;
  ASSERT_TRUE(portal.error().empty()) << portal.error();
  // The back-end's own form page, reached through the portal; the test then
  // fills it in and submits it as a user would.
  HeadlessBrowser browser;
  ASSERT_TRUE(browser.Start(portal.Path("chromium"), portal.Path("chromium.log")))
      << portal.ReadFile("chromium.log").value_or("");
  ASSERT_TRUE(browser.Open(portal.DoCommandUrl("anna", "form")));
  const std::string form = browser.WaitForDom("<form id=\"post\"", 20s);
  ASSERT_NE(form.find("<form id=\"post\""), std::string::npos) << form;
  ASSERT_TRUE(
      browser.Evaluate("var f=document.getElementById('post');"
                       "f.elements['p2'].value='from-the-form';"
                       "f.elements['p3'].value='first';"
                       "f.elements['p4'].value='extra';"
                       "f.submit(); 'submitted'"));

  const std::string dom = browser.WaitForDom("<td id=\"command\">posted</td>", 20s);
  EXPECT_NE(dom.find("<td id=\"command\">posted</td>"), std::string::npos)
      << dom << "\n"
      << portal.host().Output();
  EXPECT_NE(dom.find("<td id=\"p2\">from-the-form</td>"), std::string::npos);
  // The module gathered the extra field p4 into p3.
  EXPECT_NE(dom.find("<td id=\"p3\">first|extra</td>"), std::string::npos) << dom;
  EXPECT_NE(portal.host().Output().find("POST /scripts/dudarovuvadu.dll?PostCommand"),
            std::string::npos)
      << portal.host().Output();
  EXPECT_TRUE(portal.backend().WaitForOutput("command=posted logon=anna"));
}

}  // namespace
}  // namespace e2e
