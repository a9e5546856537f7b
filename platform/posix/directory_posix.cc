// Directory listings on POSIX: opendir and readdir, closed on every path.
#include <dirent.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "platform/directory.h"
#include "platform/system_error.h"

namespace platform {

namespace {

// Reads the listing through; `found` receives the id of `name` when listed.
bool ReadListing(const std::string& directory, const char* name,
                 std::optional<std::uint64_t>& found) {
  DIR* listing = opendir(directory.c_str());
  if (listing == nullptr) {
    TraceFailure(LastSystemError("opendir()"), directory);
    return false;
  }
  errno = 0;
  while (const dirent* entry = readdir(listing)) {
    if (name != nullptr && std::strcmp(entry->d_name, name) == 0) found = entry->d_ino;
  }
  const bool read = errno == 0;
  if (!read) TraceFailure(LastSystemError("readdir()"), directory);
  closedir(listing);
  return read;
}

}  // namespace

bool RefreshDirectoryEntries(const std::string& directory) {
  std::optional<std::uint64_t> unused;
  return ReadListing(directory, nullptr, unused);
}

std::optional<std::uint64_t> ListedFileId(const std::string& directory, const std::string& name) {
  std::optional<std::uint64_t> found;
  if (!ReadListing(directory, name.c_str(), found)) return std::nullopt;
  return found;
}

std::optional<std::uint64_t> FileIdOf(const std::string& path) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) return std::nullopt;
  return static_cast<std::uint64_t>(info.st_ino);
}

}  // namespace platform
