// Directories: a listing read through, for the names' sake. On a shared file
// system (a FUSE or network mount) each client caches which file a name
// stands for; a file replaced by a rename on another client is still found
// under its old identity until that cache entry expires. Reading the listing
// of the directory asks the server for every name and file afresh (FUSE and
// NFS read a directory with each entry's file and attributes, and update
// their caches from it), so the next open of a name finds the file that
// holds it now.
#pragma once

#include <string>

namespace platform {

// Reads the whole listing of `directory` and drops it. False when the
// directory cannot be listed (the failure is traced).
bool RefreshDirectoryEntries(const std::string& directory);

}  // namespace platform
