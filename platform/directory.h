// Directories: a listing read through, for the names' sake. On a shared file
// system (a FUSE or network mount) each client caches which file a name
// stands for; a file replaced by a rename on another client is still found
// under its old identity until that cache entry expires. Reading the listing
// of the directory asks the server for every name and file afresh (FUSE and
// NFS read a directory with each entry's file and attributes, and update
// their caches from it), so the next open of a name finds the file that
// holds it now.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/system_error.h"

namespace platform {

// One name in a directory's listing, with the file id (inode) the listing
// gives for it (0 where the system's listing gives none: Windows).
struct DirectoryEntry {
  std::string name;
  std::uint64_t file_id = 0;
};

// The names in `directory`, "." and ".." left out, in the listing's order.
// False when the directory cannot be listed (the failure is traced); then
// `entries` holds what was read before the failure.
[[nodiscard]] bool ListDirectory(const std::string& directory,
                                 std::vector<DirectoryEntry>& entries);

// True when `path` is a directory.
bool IsDirectory(const std::string& path);

// Makes the directory `path` (its parent must exist). True when it was made
// or something of that name is there already; else false with `*error`
// (when given) telling why.
[[nodiscard]] bool MakeDirectory(const std::string& path, SystemError* error = nullptr);

// Reads the whole listing of `directory` and drops it. False when the
// directory cannot be listed (the failure is traced).
bool RefreshDirectoryEntries(const std::string& directory);

// Reads the whole listing of `directory` and gives the file id (inode) it
// holds for `name`, as the server knows it now. nullopt when the name is not
// listed, the directory cannot be listed, or the system's listing gives no
// file ids (Windows).
std::optional<std::uint64_t> ListedFileId(const std::string& directory, const std::string& name);

// The file id that `path` leads to for this client now (through its caches,
// as an open would). nullopt when it cannot be asked or the system gives no
// file ids (Windows). Compared with ListedFileId, it tells whether this
// client still takes the name for a file another client has replaced.
std::optional<std::uint64_t> FileIdOf(const std::string& path);

// Whether `directory` lies on a file system shared between machines, whose
// clients cache names and attributes (FUSE, NFS, SMB and the like): where a
// name another client replaced may still be found as it was. False when it
// cannot be told.
bool IsSharedFileSystem(const std::string& directory);

// Drops the content this client holds in its page cache for the file at
// `path`, so that the next read asks the server. A FUSE client may keep a
// file's pages across opens and take a new file for one it has cached (its
// node ids are reused). False when the file cannot be opened; a no-op
// where the system offers no such call (Windows).
bool ForgetCachedContent(const std::string& path);

}  // namespace platform
