// Whether a folder lies on a GlusterFS FUSE mount whose client caches names
// and attributes. Such a client answers a lookup or stat() from its own cache
// for up to a second (the defaults of --entry-timeout and
// --attribute-timeout), so a file another machine has just replaced can read
// as it was: the counters would then hand out numbers already drawn
// elsewhere. Linux tells it from /proc (the mount table, and the command line
// of the client process serving the mount); other systems do not tell.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace platform {

// What is known of the caching of the file system holding a folder.
enum class NameCaching {
  kNotGlusterFs,  // not on a GlusterFS FUSE mount
  kCachesOff,     // on one whose client runs with both timeouts 0
  kCachesOn,      // on one whose client keeps either cache
  kUnknown        // not told: see GlusterFsMount::mount_point
};

struct GlusterFsMount {
  NameCaching caching = NameCaching::kUnknown;
  // The GlusterFS mount point holding the folder. Empty when the folder is
  // on none, or when that could not be told (no mount table, or a system
  // that has none to read); with kUnknown and a mount point, the folder is
  // on GlusterFS but its client process was not found or not readable.
  std::string mount_point;

  bool operator==(const GlusterFsMount&) const = default;
};

// The entry of a mount table (the text of /proc/<pid>/mountinfo) with the
// longest mount point that is `path` or one of its parents; the last such
// entry when one mount hides another. `path` is absolute, with "/"
// separators. Escapes of the table ("\040" for a blank) are undone.
struct MountEntry {
  std::string mount_point;
  std::string type;  // "ext4", "fuse.glusterfs"
};
std::optional<MountEntry> MountHolding(std::string_view mountinfo, std::string_view path);

// What one process's command line (the text of /proc/<pid>/cmdline: each
// argument ended by a NUL) says of the mount at `mount_point`.
enum class ClientCaching {
  kOtherProcess,  // not a glusterfs client serving that mount point
  kCachesOff,     // its client, with both entry and attribute timeouts 0
  kCachesOn       // its client, keeping either cache
};
// The timeouts are read as "--entry-timeout=0", "--entry-timeout 0" or
// "entry-timeout=0" (likewise attribute-timeout; "0.0" is 0); the last one
// given counts, and one not given is the client's default of a second.
ClientCaching GlusterFsClientCaching(std::string_view cmdline, std::string_view mount_point);

// The caching of the file system holding `directory`, read from the process
// table under `proc_root` ("/proc"): <proc_root>/self/mountinfo, then
// <proc_root>/<pid>/cmdline of every process. Caches on when any client
// serving the mount keeps them. The directory's symbolic links are resolved
// first where it exists.
GlusterFsMount ReadGlusterFsMount(const std::string& directory, const std::string& proc_root);

// ReadGlusterFsMount of the system's own /proc, or what a test has set.
GlusterFsMount GlusterFsMountOf(const std::string& directory);

// The environment variable by which an operator accepts a spool whose
// client caches names and attributes ("1"): the module then starts on it,
// with a warning, instead of refusing.
inline constexpr const char* kAcceptCachedSpoolVariable = "DUDAROVUVADU_ACCEPT_CACHED_SPOOL";
// True when the variable is set to anything but "" or "0".
bool CachedSpoolAccepted();

namespace testing {
// Makes GlusterFsMountOf answer `answer` for every folder (nullopt: ask the
// system again).
void SetGlusterFsMountAnswer(std::optional<GlusterFsMount> answer);
}  // namespace testing

}  // namespace platform
