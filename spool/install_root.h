// The install root: the directory under which the spool tree lies, named by
// the first line of the pointer file beside the module. Resolved afresh at
// the start of every request, so an edited pointer file takes effect on the
// next one, and passed down, so that one request never mixes two roots.
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

// Resolves the install root. `capacity` bounds the module file name.
std::string ResolveInstallRoot(std::size_t capacity = kSpoolPathCapacity);

// The install root as one request resolved it, once: the root of its spool
// files (module name read into kSpoolPathCapacity characters) and that of
// the counter and lock files (kCounterPathCapacity). The two differ only for
// a module name too long for the smaller buffer.
struct InstallRoot {
  std::string spool;
  std::string counters;
};

// Resolves both roots with one look at the module's path and, unless the
// module name is that long, one read of the pointer file.
InstallRoot ResolveRequestRoot();

}  // namespace spool
