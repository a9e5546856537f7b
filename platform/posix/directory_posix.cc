// Directory listings on POSIX: opendir and readdir, closed on every path.
#include <dirent.h>

#include <cerrno>

#include "platform/directory.h"
#include "platform/system_error.h"

namespace platform {

bool RefreshDirectoryEntries(const std::string& directory) {
  DIR* listing = opendir(directory.c_str());
  if (listing == nullptr) {
    TraceFailure(LastSystemError("opendir()"), directory);
    return false;
  }
  errno = 0;
  while (readdir(listing) != nullptr) {
  }
  const bool read = errno == 0;
  if (!read) TraceFailure(LastSystemError("readdir()"), directory);
  closedir(listing);
  return read;
}

}  // namespace platform
