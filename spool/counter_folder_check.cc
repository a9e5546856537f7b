// The start-time check of the counter folder's file system, and the lines
// that tell the operator about it.
#include "spool/counter_folder_check.h"

#include <cstdio>
#include <string>

#include "platform/glusterfs_mount.h"
#include "platform/trace_output.h"
#include "spool/trace.h"

namespace spool {

namespace {

constexpr const char kCachesOffOptions[] = "--entry-timeout=0 --attribute-timeout=0";

// Traces `message` and writes it on standard error, where an operator sees
// it without a trace file.
void TellOperator(const char* message) {
  TraceSink(message);
  platform::WriteStandardErrorLine(std::string("dudarovuvadu: ") + message);
}

}  // namespace

bool CounterFolderFitForTickets(const InstallRoot& root) {
  if (!root.failure.empty() || root.counters.empty()) return true;
  const platform::GlusterFsMount mount = platform::GlusterFsMountOf(root.counters);
  const char* folder = root.counters.c_str();
  const char* mount_point = mount.mount_point.c_str();
  char message[kTraceCapacity];
  switch (mount.caching) {
    case platform::NameCaching::kNotGlusterFs:
    case platform::NameCaching::kCachesOff:
      return true;
    case platform::NameCaching::kUnknown:
      // Not known to be on GlusterFS: nothing to say.
      if (mount.mount_point.empty()) return true;
      std::snprintf(message, sizeof message,
                    "Warning: the counter folder %s lies on the GlusterFS mount %s, whose client "
                    "process was not found: unless it runs with %s, tickets drawn by other front "
                    "ends could repeat",
                    folder, mount_point, kCachesOffOptions);
      TellOperator(message);
      return true;
    case platform::NameCaching::kCachesOn:
      break;
  }
  const bool accepted = platform::CachedSpoolAccepted();
  std::snprintf(message, sizeof message,
                "%s: the counter folder %s lies on the GlusterFS mount %s, whose client caches "
                "names and attributes: tickets drawn by other front ends could repeat. Mount it "
                "with %s (in fstab: entry-timeout=0,attribute-timeout=0)%s",
                accepted ? "Warning" : "Refusing to start", folder, mount_point, kCachesOffOptions,
                accepted ? "; started anyway, as DUDAROVUVADU_ACCEPT_CACHED_SPOOL asks"
                         : ", or set DUDAROVUVADU_ACCEPT_CACHED_SPOOL=1 to start anyway");
  TellOperator(message);
  return accepted;
}

}  // namespace spool
