// Windows has no GlusterFS FUSE mounts to read: whether a folder lies on a
// caching client is not known.
#include "platform/glusterfs_mount.h"

namespace platform {

GlusterFsMount ReadGlusterFsMount(const std::string&, const std::string&) {
  return {NameCaching::kUnknown, {}};
}

}  // namespace platform
