// The install root: the directory under which the spool tree lies, named by
// the first line of the pointer file beside the module. Resolved afresh at
// the start of every request (the pointer file's text is kept between
// requests only while stat() shows the same file), so an edited or replaced
// pointer file takes effect on the next one, and passed down, so that one
// request never mixes two roots.
#pragma once

#include <cstddef>
#include <string>

#include "platform/module_path.h"

namespace spool {

// Capacities of spool paths (255 characters) and of counter and lock paths
// (1023 characters), terminators included.
inline constexpr std::size_t kSpoolPathCapacity = 256;
inline constexpr std::size_t kCounterPathCapacity = 1024;

// Name of the pointer file beside the module.
extern const char* const kPointerFileName;
// Root used when neither a module nor a pointer file tells one.
inline constexpr const char* const& kDefaultInstallRoot = platform::kDefaultInstallRoot;

// Resolves the install root. `capacity` bounds the module file name. Empty
// when a pointer file is there but cannot be read.
std::string ResolveInstallRoot(std::size_t capacity = kSpoolPathCapacity);

// The install root as one request resolved it, once: the root of its spool
// files (module name read into kSpoolPathCapacity characters) and that of
// the counter and lock files (kCounterPathCapacity). The two differ only for
// a module name too long for the smaller buffer.
struct InstallRoot {
  std::string spool;
  std::string counters;
  // A spool result ("!Can't read <pointer path>") when a pointer file is
  // there but cannot be opened or read: the request fails, and the roots
  // above are empty. Empty when the roots are usable.
  std::string failure;
};

// Resolves both roots with one read of the pointer file (two for a module
// name too long for the smaller buffer). Where the pointer file lies is
// worked out once, since the module cannot move while it is loaded.
InstallRoot ResolveRequestRoot();

}  // namespace spool
