// The GlusterFS mount of a folder on Linux: its mount table entry in
// /proc/self/mountinfo, then the client processes' command lines. Nothing is
// traced: a process that ends while it is read is no failure, and whatever
// cannot be read makes the answer unknown.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <optional>

#include "platform/glusterfs_mount.h"

namespace platform {

namespace {

// More than any mount table or command line this reads.
constexpr std::size_t kMostBytes = 8 * 1024 * 1024;

// The whole of a /proc file, whose size stat() does not tell.
std::optional<std::string> ReadWhole(const std::string& path) {
  int descriptor = -1;
  do {
    descriptor = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (descriptor < 0 && errno == EINTR);
  if (descriptor < 0) return std::nullopt;
  std::string text;
  char chunk[16384];
  for (;;) {
    const ssize_t count = read(descriptor, chunk, sizeof chunk);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0 || text.size() + static_cast<std::size_t>(count) > kMostBytes) {
      close(descriptor);
      return count == 0 ? std::optional<std::string>(std::move(text)) : std::nullopt;
    }
    text.append(chunk, static_cast<std::size_t>(count));
  }
}

std::string RealPath(const std::string& directory) {
  char resolved[PATH_MAX];
  return realpath(directory.c_str(), resolved) != nullptr ? std::string(resolved) : directory;
}

bool IsProcessId(const char* name) {
  if (*name == '\0') return false;
  for (; *name != '\0'; ++name) {
    if (*name < '0' || *name > '9') return false;
  }
  return true;
}

// How the clients of `mount_point` among the processes under `proc_root`
// cache: nullopt when none was found.
std::optional<ClientCaching> ClientsOf(const std::string& mount_point,
                                       const std::string& proc_root) {
  DIR* processes = opendir(proc_root.c_str());
  if (processes == nullptr) return std::nullopt;
  std::optional<ClientCaching> found;
  while (const dirent* entry = readdir(processes)) {
    if (!IsProcessId(entry->d_name)) continue;
    const std::optional<std::string> cmdline =
        ReadWhole(proc_root + "/" + entry->d_name + "/cmdline");
    if (!cmdline) continue;
    const ClientCaching caching = GlusterFsClientCaching(*cmdline, mount_point);
    if (caching == ClientCaching::kOtherProcess) continue;
    if (!found || caching == ClientCaching::kCachesOn) found = caching;
  }
  closedir(processes);
  return found;
}

}  // namespace

GlusterFsMount ReadGlusterFsMount(const std::string& directory, const std::string& proc_root) {
  const std::optional<std::string> mountinfo = ReadWhole(proc_root + "/self/mountinfo");
  if (!mountinfo) return {NameCaching::kUnknown, {}};
  const std::optional<MountEntry> mount = MountHolding(*mountinfo, RealPath(directory));
  if (!mount) return {NameCaching::kUnknown, {}};
  if (mount->type != "fuse.glusterfs") return {NameCaching::kNotGlusterFs, {}};
  const std::optional<ClientCaching> clients = ClientsOf(mount->mount_point, proc_root);
  if (!clients) return {NameCaching::kUnknown, mount->mount_point};
  return {*clients == ClientCaching::kCachesOff ? NameCaching::kCachesOff : NameCaching::kCachesOn,
          mount->mount_point};
}

}  // namespace platform
