// The portal's extension object through the module's entry points: version,
// termination, the Default page, and the state after unload.
#include "portal/portal_extension.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "dudarovuvadu/httpext.h"
#include "tests/harness/fake_server.h"

namespace portal {
namespace {

const std::string kDefaultBody =
    "<html><head><title>Portail Quorvel</title></head><body>\r\n"
    "<p>ScriptName='/scripts/dudarovuvadu.dll'</p>\r\n"
    "<p><b>Param&egrave;tres invalides (nom de commande absent)</b></p>\r\n"
    "</body></html>";

TEST(PortalExtensionTest, VersionAndTermination) {
  HSE_VERSION_INFO version{};
  std::memset(version.lpszExtensionDesc, 'x', sizeof version.lpszExtensionDesc);
  ASSERT_EQ(GetExtensionVersion(&version), TRUE);
  EXPECT_EQ(version.dwExtensionVersion, 0x40000u);
  EXPECT_STREQ(version.lpszExtensionDesc, "DudarOvuvadu Extension");
  EXPECT_EQ(TerminateExtension(0), TRUE);
  EXPECT_EQ(TerminateExtension(0xFFFFFFFFu), TRUE);
}

TEST(PortalExtensionTest, EmptyQueryAndDefaultAnswerTheMissingCommandPage) {
  for (const char* query : {"", "Default", "default", "Default "}) {
    const harness::Response response = harness::Get(query);
    EXPECT_EQ(response.status_line, "200 OK") << query;
    ASSERT_TRUE(response.header_text.has_value()) << query;
    EXPECT_EQ(*response.header_text, "Content-Type: text/html\r\n") << query;
    EXPECT_EQ(response.body(), kDefaultBody) << query;
    EXPECT_EQ(response.result, static_cast<DWORD>(HSE_STATUS_SUCCESS));
  }
}

TEST(PortalExtensionTest, AWordThatIsNoCommandIs400) {
  const harness::Response response = harness::Get("Hello");
  EXPECT_EQ(response.status_line, "400 Bad Request");
  EXPECT_EQ(response.result, static_cast<DWORD>(HSE_STATUS_ERROR));
  EXPECT_TRUE(response.writes.empty());
}

TEST(PortalExtensionTest, DefaultPageEscapesAndBoundsTheScriptName) {
  const struct {
    std::string script_name;
    std::string shown;
  } cases[] = {
      {"/a\"b<c>&d", "/a&quot;b&lt;c&gt;&amp;d"},
      {std::string(249, 's'), std::string(249, 's')},
      {std::string(250, 's'), ""},
      {std::string(5000, 's'), ""},
  };
  for (const auto& c : cases) {
    harness::Request request;
    request.server_variables["SCRIPT_NAME"] = c.script_name;
    const harness::Response response = harness::Run(request);
    EXPECT_NE(response.body().find("<p>ScriptName='" + c.shown + "'</p>"), std::string::npos)
        << c.script_name.size();
  }
  harness::Request unknown;
  unknown.server_variables.erase("SCRIPT_NAME");
  EXPECT_NE(harness::Run(unknown).body().find("<p>ScriptName=''</p>"), std::string::npos);
}

TEST(PortalExtensionDeathTest, AfterUnloadRequestsAre500) {
  EXPECT_EXIT(
      {
        // A second extension object becomes current; destroying it leaves the
        // process as an unloaded module does, with no current extension.
        { PortalExtension unloaded; }
        EXPECT_EQ(gateway::WebExtension::Current(), nullptr);
        const harness::Response response = harness::Get("");
        HSE_VERSION_INFO version{};
        const bool ok = response.recorded_status == 500 &&
                        response.result == static_cast<DWORD>(HSE_STATUS_ERROR) &&
                        !response.header_sent && GetExtensionVersion(&version) == FALSE &&
                        TerminateExtension(0) == TRUE;
        std::exit(ok ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace portal
