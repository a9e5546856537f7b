// The tests' stand-in for the loaded module's path, shared by both systems'
// LoadedModulePath(): set and cleared through platform::testing.
#pragma once

#include <optional>
#include <string>

namespace platform {

// The path set by testing::OverrideModulePath, if one is set.
std::optional<std::string> ModulePathOverride();

}  // namespace platform
