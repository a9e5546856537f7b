// The example back-end in Python (examples/backend.py), on the back-end
// kit's shared library through its Python module, behind the embedded host:
// a document list followed from its wait page to its answer, and the
// download the list links to.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>

#include "tests/e2e/portal_fixture.h"

namespace e2e {
namespace {

TEST(BackendKitE2eTest, PythonExampleAnswersADocumentListAndItsDownload) {
  if (::access("/usr/bin/python3", X_OK) != 0) GTEST_SKIP() << "python3 is not installed";
  const char* build = std::getenv("DUDAROVUVADU_BUILD_DIR");
  const std::string build_dir = build != nullptr ? build : "build";
  // The module and the library of the build tree, not installed ones.
  ::setenv("PYTHONPATH", DUDAROVUVADU_SOURCE_DIR "/backend_kit/python", 1);
  ::setenv("DUDAROVUVADU_BACKEND_KIT_LIBRARY",
           (build_dir + "/libdudarovuvadu-backend-kit.so.1").c_str(), 1);
  Portal::Options options;
  options.host = HostKind::kEmbedded;
  options.backend_command = {"/usr/bin/python3", DUDAROVUVADU_SOURCE_DIR "/examples/backend.py"};
  Portal portal(options);
  ASSERT_TRUE(portal.error().empty()) << portal.error();
  portal.WriteFile("docs/annual report.pdf", "%PDF-1.4 report");

  std::string ticket;
  const auto list = portal.FetchAnswer(portal.DoCommandUrl("anna", "getlist"), &ticket);
  ASSERT_TRUE(list) << portal.backend().Output();
  EXPECT_FALSE(ticket.empty());  // it came through a wait page
  EXPECT_EQ(list->status, 200);
  const std::string href = HtmlUnescape(Between(list->body, "class=\"doc\" href=\"", "\""));
  ASSERT_NE(list->body.find(">annual report.pdf</a>"), std::string::npos) << list->body;
  ASSERT_EQ(href.rfind(portal.module_url() + "?DoCommand?", 0), 0u) << href;

  const auto download = portal.FetchAnswer(href);
  ASSERT_TRUE(download) << portal.backend().Output();
  EXPECT_EQ(download->Header("Content-Type"), "application/pdf");
  EXPECT_EQ(download->body, "%PDF-1.4 report");
  EXPECT_FALSE(portal.ReadFile("in/" + ticket + ".req"));  // picked up
}

}  // namespace
}  // namespace e2e
