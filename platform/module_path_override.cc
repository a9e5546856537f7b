// The module-path override of the tests, the same on every system.
#include "platform/module_path_override.h"

#include <mutex>

#include "platform/module_path.h"

namespace platform {

namespace {

std::mutex g_override_mutex;
std::optional<std::string> g_module_path_override;

}  // namespace

std::optional<std::string> ModulePathOverride() {
  std::lock_guard<std::mutex> lock(g_override_mutex);
  return g_module_path_override;
}

namespace testing {

void OverrideModulePath(const std::string& path) {
  std::lock_guard<std::mutex> lock(g_override_mutex);
  g_module_path_override = path;
}

void ClearModulePathOverride() {
  std::lock_guard<std::mutex> lock(g_override_mutex);
  g_module_path_override.reset();
}

}  // namespace testing

}  // namespace platform
