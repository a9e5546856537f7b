// The module-path override of the tests, the same on every system.
#include "platform/module_path_override.h"

#include <atomic>
#include <mutex>

#include "platform/module_path.h"

namespace platform {

namespace {

// Whether an override was ever set in this process. Production code never
// sets one, so its calls read this flag and take no lock; the mutex guards
// the path only for the tests that change it.
std::atomic<bool> g_override_used{false};
std::mutex g_override_mutex;
std::optional<std::string> g_module_path_override;

}  // namespace

std::optional<std::string> ModulePathOverride() {
  if (!g_override_used.load(std::memory_order_acquire)) return std::nullopt;
  std::lock_guard<std::mutex> lock(g_override_mutex);
  return g_module_path_override;
}

namespace testing {

void OverrideModulePath(const std::string& path) {
  std::lock_guard<std::mutex> lock(g_override_mutex);
  g_module_path_override = path;
  g_override_used.store(true, std::memory_order_release);
}

void ClearModulePathOverride() {
  std::lock_guard<std::mutex> lock(g_override_mutex);
  g_module_path_override.reset();
}

}  // namespace testing

}  // namespace platform
