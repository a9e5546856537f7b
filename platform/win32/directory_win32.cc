// Directory listings on Windows: FindFirstFileA over "<directory>\*", closed
// on every path. An SMB client refreshes its name cache from the listing.
#include <windows.h>

#include "platform/directory.h"
#include "platform/system_error.h"

namespace platform {

namespace {

// Reads the listing of `directory` through, handing `visit` each entry;
// false, traced, when it cannot be opened or read.
template <class Visit>
bool VisitListing(const std::string& directory, Visit visit) {
  WIN32_FIND_DATAA entry;
  const std::string pattern = directory + "\\*";
  HANDLE listing = FindFirstFileA(pattern.c_str(), &entry);
  if (listing == INVALID_HANDLE_VALUE) {
    TraceFailure(LastSystemError("FindFirstFileA()"), directory);
    return false;
  }
  do {
    visit(entry);
  } while (FindNextFileA(listing, &entry));
  const SystemError ended = LastSystemError("FindNextFileA()");
  FindClose(listing);
  if (ended.code != ERROR_NO_MORE_FILES) {
    TraceFailure(ended, directory);
    return false;
  }
  return true;
}

}  // namespace

bool ListDirectory(const std::string& directory, std::vector<DirectoryEntry>& entries) {
  return VisitListing(directory, [&entries](const WIN32_FIND_DATAA& entry) {
    const std::string name = entry.cFileName;
    if (name != "." && name != "..") entries.push_back(DirectoryEntry{name, 0});
  });
}

bool IsDirectory(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool MakeDirectory(const std::string& path, SystemError* error) {
  if (CreateDirectoryA(path.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS) {
    return true;
  }
  const SystemError failure = LastSystemError("CreateDirectoryA()");
  TraceFailure(failure, path);
  if (error != nullptr) *error = failure;
  return false;
}

bool RefreshDirectoryEntries(const std::string& directory) {
  return VisitListing(directory, [](const WIN32_FIND_DATAA&) {});
}

// A Windows listing gives no file ids: the caller cannot compare, and reads
// the name as it is (the SMB client's caches are set off instead).
std::optional<std::uint64_t> ListedFileId(const std::string& directory,
                                          const std::string& /*name*/) {
  (void)RefreshDirectoryEntries(directory);
  return std::nullopt;
}

std::optional<std::uint64_t> FileIdOf(const std::string& /*path*/) { return std::nullopt; }

// A network drive or a UNC path (\\server\share).
bool IsSharedFileSystem(const std::string& directory) {
  if (directory.size() >= 2 && (directory[0] == '\\' || directory[0] == '/') &&
      (directory[1] == '\\' || directory[1] == '/')) {
    return true;
  }
  if (directory.size() < 2 || directory[1] != ':') return false;
  const std::string drive = directory.substr(0, 2) + "\\";
  return GetDriveTypeA(drive.c_str()) == DRIVE_REMOTE;
}

// The SMB client's caches are set off by the operator instead.
bool ForgetCachedContent(const std::string& /*path*/) { return true; }

}  // namespace platform
