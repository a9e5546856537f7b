// Directory listings on POSIX: opendir and readdir, closed on every path.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/directory.h"
#include "platform/system_error.h"

namespace platform {

namespace {

// Reads the listing of `directory` through, handing `visit` each entry;
// false, traced, when it cannot be opened or read.
template <class Visit>
bool VisitListing(const std::string& directory, Visit visit) {
  DIR* listing = opendir(directory.c_str());
  if (listing == nullptr) {
    TraceFailure(LastSystemError("opendir()"), directory);
    return false;
  }
  errno = 0;
  while (const dirent* entry = readdir(listing)) visit(*entry);
  const bool read = errno == 0;
  if (!read) TraceFailure(LastSystemError("readdir()"), directory);
  closedir(listing);
  return read;
}

}  // namespace

bool ListDirectory(const std::string& directory, std::vector<DirectoryEntry>& entries) {
  return VisitListing(directory, [&entries](const dirent& entry) {
    if (std::strcmp(entry.d_name, ".") == 0 || std::strcmp(entry.d_name, "..") == 0) return;
    entries.push_back(DirectoryEntry{entry.d_name, static_cast<std::uint64_t>(entry.d_ino)});
  });
}

bool IsDirectory(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool MakeDirectory(const std::string& path, SystemError* error) {
  if (mkdir(path.c_str(), 0755) == 0 || errno == EEXIST) return true;
  const SystemError failure = LastSystemError("mkdir()");
  TraceFailure(failure, path);
  if (error != nullptr) *error = failure;
  return false;
}

bool RefreshDirectoryEntries(const std::string& directory) {
  return VisitListing(directory, [](const dirent&) {});
}

std::optional<std::uint64_t> ListedFileId(const std::string& directory, const std::string& name) {
  std::optional<std::uint64_t> found;
  const bool read = VisitListing(directory, [&](const dirent& entry) {
    if (name == entry.d_name) found = static_cast<std::uint64_t>(entry.d_ino);
  });
  return read ? found : std::nullopt;
}

std::optional<std::uint64_t> FileIdOf(const std::string& path) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) return std::nullopt;
  return static_cast<std::uint64_t>(info.st_ino);
}

// The kinds of file system (statfs's f_type) whose clients cache what
// another client changed: FUSE (GlusterFS, among others), NFS, SMB/CIFS,
// Ceph, 9P, AFS.
bool IsSharedFileSystem(const std::string& directory) {
  struct statfs info {};
  if (statfs(directory.c_str(), &info) != 0) return false;
  switch (static_cast<unsigned long>(info.f_type)) {
    case 0x65735546UL:  // FUSE
    case 0x6969UL:      // NFS
    case 0x517BUL:      // SMB
    case 0xFF534D42UL:  // CIFS
    case 0xFE534D42UL:  // SMB2
    case 0x00C36400UL:  // Ceph
    case 0x01021997UL:  // 9P
    case 0x5346414FUL:  // AFS
      return true;
    default:
      return false;
  }
}

bool ForgetCachedContent(const std::string& path) {
  int descriptor = -1;
  do {
    descriptor = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  } while (descriptor < 0 && errno == EINTR);
  if (descriptor < 0) return false;
  const bool dropped = posix_fadvise(descriptor, 0, 0, POSIX_FADV_DONTNEED) == 0;
  close(descriptor);
  return dropped;
}

}  // namespace platform
