// Finding the install root: the first line of the pointer file beside the
// module (or, without a module of our own name, beside the host executable),
// else the module's own directory, else the built-in default.
#include "spool/install_root.h"

#include <string>

#include "platform/module_path.h"
#include "spool/text_file.h"

namespace spool {

const char* const kPointerFileName = "dudarovuvadu.dir";

namespace {

// The pointer file's first line is read into a 256-character buffer.
constexpr std::size_t kPointerLineChars = 255;

// Cuts `path` at its last separator, which is removed. A separator in the
// first position does not count, so "/x" stays whole.
std::string DirectoryOf(const std::string& path) {
  for (std::size_t i = path.size(); i > 1; --i) {
    if (path[i - 1] == platform::kPathSeparator) return path.substr(0, i - 1);
  }
  return path;
}

// Where the pointer file is looked for, with a module name read into a
// buffer of `capacity` characters.
struct PointerLookUp {
  bool usable = false;       // a file name, and a buffer that can hold one
  bool has_module = false;   // the name is the module's, not the executable's
  std::string directory;     // the name's directory
  std::string pointer_path;  // empty when it does not fit the buffer

  bool operator==(const PointerLookUp&) const = default;
};

struct ModuleNames {
  std::string module;      // the loaded module's file, or empty
  std::string executable;  // the host executable, looked at only without a module
};

ModuleNames ReadModuleNames() {
  ModuleNames names;
  names.module = platform::LoadedModulePath();
  if (names.module.empty()) names.executable = platform::ExecutablePath();
  return names;
}

PointerLookUp LookUpPointer(const ModuleNames& names, std::size_t capacity) {
  PointerLookUp look_up;
  look_up.has_module = !names.module.empty();
  std::string file_name = look_up.has_module ? names.module : names.executable;
  // Without any file name there is no directory to look in.
  if (file_name.empty() || capacity < 2) return look_up;
  look_up.usable = true;
  // The platform reports the name into a buffer of `capacity` characters,
  // cutting a longer one.
  if (file_name.size() > capacity - 1) file_name.resize(capacity - 1);
  look_up.directory = DirectoryOf(file_name);
  std::string pointer_path = look_up.directory;
  pointer_path.push_back(platform::kPathSeparator);
  pointer_path.append(kPointerFileName);
  // A pointer path that would not fit the buffer is a pointer file that
  // cannot be opened.
  if (pointer_path.size() <= capacity - 1) look_up.pointer_path = std::move(pointer_path);
  return look_up;
}

std::string RootFrom(const PointerLookUp& look_up) {
  if (!look_up.usable) return kDefaultInstallRoot;
  if (!look_up.pointer_path.empty()) {
    TextFileReader pointer(look_up.pointer_path);
    if (pointer.is_open()) {
      std::string line;
      pointer.ReadLine(line, kPointerLineChars);
      CutLineEnd(line, 2);
      return line;
    }
  }
  return look_up.has_module ? look_up.directory : std::string(kDefaultInstallRoot);
}

}  // namespace

std::string ResolveInstallRoot(std::size_t capacity) {
  return RootFrom(LookUpPointer(ReadModuleNames(), capacity));
}

InstallRoot ResolveRequestRoot() {
  const ModuleNames names = ReadModuleNames();
  const PointerLookUp spool_look_up = LookUpPointer(names, kSpoolPathCapacity);
  const PointerLookUp counter_look_up = LookUpPointer(names, kCounterPathCapacity);
  InstallRoot root;
  root.spool = RootFrom(spool_look_up);
  root.counters = counter_look_up == spool_look_up ? root.spool : RootFrom(counter_look_up);
  return root;
}

}  // namespace spool
