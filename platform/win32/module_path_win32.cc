// Windows: the module's own file is the loaded module named
// dudarovuvadu.dll (GetModuleHandleA, then GetModuleFileNameA); a null
// handle, for a renamed DLL or code linked into a program, leaves the
// caller to the host executable.
#include <windows.h>

#include <optional>

#include "platform/module_path.h"
#include "platform/module_path_override.h"

namespace platform {

const char* const kModuleFileName = "dudarovuvadu.dll";
const char kPathSeparator = '\\';
const char* const kDefaultInstallRoot = "c:\\program files\\quorvel\\dudarovuvadu";

namespace {

// The longest path the A functions can return.
constexpr DWORD kLongestPath = 32768;

// Full file name of `module` (null: the executable); empty on failure.
std::string ModuleFileName(HMODULE module) {
  std::string buffer(MAX_PATH, '\0');
  for (;;) {
    const DWORD size = static_cast<DWORD>(buffer.size());
    const DWORD length = GetModuleFileNameA(module, buffer.data(), size);
    if (length == 0) return {};
    // A name that filled the buffer may have been cut: try a larger one.
    if (length < size) {
      buffer.resize(length);
      return buffer;
    }
    if (size >= kLongestPath) return {};
    buffer.resize(static_cast<std::size_t>(size) * 2);
  }
}

}  // namespace

std::string LoadedModulePath() {
  if (std::optional<std::string> path = ModulePathOverride()) return *path;
  HMODULE module = GetModuleHandleA(kModuleFileName);
  if (module == nullptr) return {};
  return ModuleFileName(module);
}

std::string ExecutablePath() { return ModuleFileName(nullptr); }

}  // namespace platform
