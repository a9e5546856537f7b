// The portal's extension object through the module's entry points: version,
// the refusal to start on a spool whose counters could be read stale,
// termination, the Default page, and the state after unload.
#include "portal/portal_extension.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "dudarovuvadu/httpext.h"
#include "platform/glusterfs_mount.h"
#include "spool/trace.h"
#include "tests/harness/environment.h"
#include "tests/harness/fake_server.h"
#include "tests/harness/temp_dir.h"

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

std::vector<std::string>* g_traced = nullptr;
void Record(std::string_view message) { g_traced->emplace_back(message); }

TEST(PortalExtensionTest, RefusesToStartWhereTheCountersClientCachesThem) {
  using platform::NameCaching;
  const harness::SpoolRoot root;
  const char* const options = "--entry-timeout=0 --attribute-timeout=0";
  const struct {
    NameCaching caching;
    const char* mount_point;
    const char* accept;  // DUDAROVUVADU_ACCEPT_CACHED_SPOOL, "" for unset
    BOOL started;
    const char* line_start;  // null: no line
  } cases[] = {
      {NameCaching::kCachesOn, "/srv/portal", "", FALSE, "Refusing to start: "},
      {NameCaching::kCachesOn, "/srv/portal", "0", FALSE, "Refusing to start: "},
      {NameCaching::kCachesOn, "/srv/portal", "1", TRUE, "Warning: "},
      {NameCaching::kUnknown, "/srv/portal", "", TRUE, "Warning: "},
      {NameCaching::kUnknown, "", "", TRUE, nullptr},
      {NameCaching::kCachesOff, "/srv/portal", "", TRUE, nullptr},
      {NameCaching::kNotGlusterFs, "", "", TRUE, nullptr},
  };
  for (const auto& c : cases) {
    const std::string label = std::to_string(static_cast<int>(c.caching)) + c.accept;
    const harness::ScopedEnvironment accept(platform::kAcceptCachedSpoolVariable, c.accept);
    platform::testing::SetGlusterFsMountAnswer(platform::GlusterFsMount{c.caching, c.mount_point});
    std::vector<std::string> traced;
    g_traced = &traced;
    spool::testing::SetTraceObserver(&Record);
    HSE_VERSION_INFO version{};
    EXPECT_EQ(GetExtensionVersion(&version), c.started) << label;
    spool::testing::SetTraceObserver(nullptr);
    platform::testing::SetGlusterFsMountAnswer(std::nullopt);
    if (c.line_start == nullptr) {
      EXPECT_TRUE(traced.empty()) << label;
      continue;
    }
    ASSERT_EQ(traced.size(), 1u) << label;
    const std::string& line = traced[0];
    EXPECT_EQ(line.rfind(c.line_start, 0), 0u) << line;
    for (const std::string& named :
         {root.path(), std::string(c.mount_point), std::string(options),
          std::string("tickets drawn by other front ends could repeat")}) {
      EXPECT_NE(line.find(named), std::string::npos) << named << " in " << line;
    }
  }
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
