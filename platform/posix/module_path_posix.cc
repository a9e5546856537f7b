// POSIX: the module's own file is found with dladdr on a function of the
// module; the executable through /proc/self/exe.
#include "platform/module_path.h"
#include "platform/module_path_override.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstring>
#include <optional>

namespace platform {

const char* const kModuleFileName = "dudarovuvadu.so";
const char kPathSeparator = '/';
const char* const kDefaultInstallRoot = "/opt/quorvel/dudarovuvadu";

namespace {

std::string BaseName(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

std::string LoadedModulePath() {
  if (std::optional<std::string> path = ModulePathOverride()) return *path;
  Dl_info info{};
  if (dladdr(reinterpret_cast<const void*>(&LoadedModulePath), &info) == 0 ||
      info.dli_fname == nullptr) {
    return {};
  }
  std::string path = info.dli_fname;
  // Code linked into an executable, or a module loaded under another name,
  // has no module of its own name: the caller falls back to the executable.
  if (BaseName(path) != kModuleFileName) return {};
  if (path.front() != '/') {
    char resolved[4096];
    if (realpath(path.c_str(), resolved) != nullptr) path = resolved;
  }
  return path;
}

std::string ExecutablePath() {
  // readlink does not say whether it cut the name: a name that fills the
  // buffer is asked again with a larger one.
  std::string buffer(256, '\0');
  for (;;) {
    const ssize_t length = readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (length <= 0) return {};
    if (static_cast<std::size_t>(length) < buffer.size()) {
      buffer.resize(static_cast<std::size_t>(length));
      return buffer;
    }
    if (buffer.size() >= 65536) return {};
    buffer.resize(buffer.size() * 2);
  }
}

}  // namespace platform
