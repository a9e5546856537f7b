// Names of the files of the spool tree under an install root. Every spool
// path is at most 255 characters: a path that would be longer is not formed.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace spool {

// root + separator + directory + separator + file name, or nullopt when the
// result would exceed `capacity` - 1 characters.
std::optional<std::string> SpoolPath(std::string_view root, std::string_view directory,
                                     std::string_view file_name, std::size_t capacity = 256);

// rights/~<logon>.lst and events/<logon>.evt under the root.
std::optional<std::string> RightsListPath(std::string_view root, std::string_view logon);
std::optional<std::string> EventFilePath(std::string_view root, std::string_view logon);

}  // namespace spool
