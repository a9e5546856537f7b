// Rights lists, rights/~logon.lst: the files a user may fetch, one entry per
// line as clients send the name in P1. A list is replaced whole, never
// written in place, so the module reads either the old list or the new one.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace backend_kit {

// The longest entry the module reads whole: its line, with the line end read
// as one LF, holds at most 1023 characters.
inline constexpr std::size_t kMaxRightsEntryChars = 1022;

enum class RightsResult { kOk, kNotAllowed, kIoError };

// True when `logon` can name a rights list file: no "/", no control bytes,
// not longer than a file name allows.
bool LogonUsableInFileName(std::string_view logon);

// The entries of the list of `logon` (none when it has no list).
std::vector<std::string> ReadRights(const std::string& rights_folder, const std::string& logon);

// Replaces the list of `logon` with `entries`. kNotAllowed (nothing written)
// for a logon that names no file or an entry the module could not read back
// (too long, a line end or NUL); kIoError when it cannot be written (the old list
// stays).
[[nodiscard]] RightsResult WriteRights(const std::string& rights_folder, const std::string& logon,
                                       const std::vector<std::string>& entries);

}  // namespace backend_kit
