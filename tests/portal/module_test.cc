// The built module as a web server sees it: loaded with dlopen, exporting the
// three entry points and nothing else, answering through them, unloaded.
#include <dlfcn.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>

#include "dudarovuvadu/httpext.h"
#include "tests/harness/fake_server.h"
#include "tests/harness/temp_dir.h"

namespace {

std::string BuiltModule() {
  const char* build = std::getenv("DUDAROVUVADU_BUILD_DIR");
  return std::string(build != nullptr ? build : ".") + "/dudarovuvadu.so";
}

// The defined dynamic symbols of a shared object, read with nm.
std::set<std::string> ExportedSymbols(const std::string& path) {
  std::set<std::string> symbols;
  const std::string command = "nm -D --defined-only '" + path + "' 2>/dev/null";
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return symbols;
  char line[1024];
  while (std::fgets(line, sizeof line, pipe) != nullptr) {
    std::string text(line);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    const std::size_t space = text.rfind(' ');
    if (space != std::string::npos) symbols.insert(text.substr(space + 1));
  }
  pclose(pipe);
  return symbols;
}

TEST(ModuleTest, ExportsExactlyTheThreeEntryPoints) {
  ASSERT_TRUE(std::filesystem::exists(BuiltModule())) << BuiltModule();
  std::set<std::string> symbols = ExportedSymbols(BuiltModule());
  // The linker's own version node may be listed; it is no code.
  symbols.erase("VERS_1");
  EXPECT_EQ(symbols, (std::set<std::string>{"GetExtensionVersion", "HttpExtensionProc",
                                            "TerminateExtension"}));
}

TEST(ModuleTest, LoadsAnswersAndUnloadsLikeAWebServerDrivesIt) {
  harness::TempDir dir;
  const std::string module = dir.Path("dudarovuvadu.so");
  std::filesystem::copy_file(BuiltModule(), module);

  void* handle = dlopen(module.c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(handle, nullptr) << dlerror();
  auto get_version =
      reinterpret_cast<PFN_GETEXTENSIONVERSION>(dlsym(handle, "GetExtensionVersion"));
  auto proc = reinterpret_cast<PFN_HTTPEXTENSIONPROC>(dlsym(handle, "HttpExtensionProc"));
  auto terminate = reinterpret_cast<PFN_TERMINATEEXTENSION>(dlsym(handle, "TerminateExtension"));
  ASSERT_NE(get_version, nullptr);
  ASSERT_NE(proc, nullptr);
  ASSERT_NE(terminate, nullptr);
  EXPECT_EQ(dlsym(handle, "_ZN7gateway12WebExtension7CurrentEv"), nullptr)
      << "internal symbols stay hidden";

  HSE_VERSION_INFO version{};
  ASSERT_EQ(get_version(&version), TRUE);
  EXPECT_EQ(version.dwExtensionVersion, 0x40000u);
  EXPECT_STREQ(version.lpszExtensionDesc, "DudarOvuvadu Extension");

  harness::Request request;
  const harness::Response response = harness::Run(proc, request);
  EXPECT_EQ(response.status_line, "200 OK");
  EXPECT_EQ(response.body().rfind("<html><head><title>Portail Quorvel</title>", 0), 0u);

  EXPECT_EQ(terminate(0), TRUE);
  EXPECT_EQ(dlclose(handle), 0);
}

}  // namespace
