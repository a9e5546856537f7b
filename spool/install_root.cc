// Finding the install root: the first line of the pointer file beside the
// module (or, without a module of our own name, beside the host executable),
// else the module's own directory, else the built-in default.
#include "spool/install_root.h"

#include <string>

#include "platform/file.h"
#include "platform/module_path.h"
#include "platform/module_path_override.h"
#include "spool/text_file.h"
#include "spool/text_file_cache.h"

namespace spool {

const char* const kPointerFileName = "dudarovuvadu.dir";

namespace {

// The pointer file's first line is read into a 256-character buffer.
constexpr std::size_t kPointerLineChars = 255;
// What is read of the pointer file: more than its longest first line as
// stored (255 characters, a CR before the LF, and a lone CR before that).
constexpr std::size_t kPointerReadBytes = 512;

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

// Where a look-up leads: the install root, or the failure of a pointer file
// that is there but cannot be read.
struct RootOrFailure {
  std::string root;
  std::string failure;  // "!Can't read <pointer path>", or empty
};

// A pointer file that is missing (or is no file at all, such as a directory)
// leaves the root to the module's directory. One that is there but cannot be
// opened or read (no descriptor left, no permission, an I/O error) is no
// reason to spool requests into the module's directory, where no back-end
// looks: the request fails instead. The platform has traced the cause.
RootOrFailure RootFrom(const PointerLookUp& look_up) {
  if (!look_up.usable) return {kDefaultInstallRoot, {}};
  if (!look_up.pointer_path.empty()) {
    // Read through the cache: an edited or replaced pointer file has another
    // stamp, and is read again by the next request.
    CachedText contents;
    platform::SystemError error;
    if (ReadTextFileCached(look_up.pointer_path, contents, kPointerReadBytes, &error)) {
      std::string line(FirstLine(contents.text(), kPointerLineChars));
      CutLineEnd(line, 2);
      return {std::move(line), {}};
    }
    // A failure is asked again of the file system (stat, which needs no
    // descriptor): only a pointer file that is there fails the request.
    if (error.cause != platform::FailureCause::kNotFound &&
        error.cause != platform::FailureCause::kNotRegularFile &&
        platform::FileExists(look_up.pointer_path.c_str())) {
      return {{}, "!Can't read " + look_up.pointer_path};
    }
  }
  return {look_up.has_module ? look_up.directory : std::string(kDefaultInstallRoot), {}};
}

// Both look-ups of one module name: for spool paths and for counter paths.
struct RequestLookUps {
  PointerLookUp spool;
  PointerLookUp counters;
};

RequestLookUps MakeLookUps(const ModuleNames& names) {
  return {LookUpPointer(names, kSpoolPathCapacity), LookUpPointer(names, kCounterPathCapacity)};
}

// The module's path cannot change while it is loaded, so where its pointer
// file lies is worked out once; the pointer file itself is read afresh by
// every request. A test that moves the module (platform::testing) gets the
// look-ups made again at every call.
const RequestLookUps& CurrentLookUps() {
  if (platform::ModulePathOverride()) {
    thread_local RequestLookUps moved;
    moved = MakeLookUps(ReadModuleNames());
    return moved;
  }
  static const RequestLookUps loaded = MakeLookUps(ReadModuleNames());
  return loaded;
}

}  // namespace

std::string ResolveInstallRoot(std::size_t capacity) {
  return RootFrom(LookUpPointer(ReadModuleNames(), capacity)).root;
}

InstallRoot ResolveRequestRoot() {
  const RequestLookUps& look_ups = CurrentLookUps();
  RootOrFailure spool = RootFrom(look_ups.spool);
  InstallRoot root;
  root.failure = std::move(spool.failure);
  if (!root.failure.empty()) return root;
  root.counters = spool.root;
  if (!(look_ups.counters == look_ups.spool)) {
    RootOrFailure counters = RootFrom(look_ups.counters);
    root.failure = std::move(counters.failure);
    root.counters = std::move(counters.root);
  }
  root.spool = std::move(spool.root);
  return root;
}

}  // namespace spool
