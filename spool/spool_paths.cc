// Names of the spool files under an install root. A path that would not fit
// its buffer (255 characters for spool paths, 1023 for counter and lock
// paths) is not formed, so a long root or name can never be cut into the
// name of some other file.
#include "spool/spool_paths.h"

#include <string>

#include "platform/module_path.h"

namespace spool {

std::optional<std::string> SpoolPath(std::string_view root, std::string_view directory,
                                     std::string_view file_name, std::size_t capacity) {
  std::string path;
  path.reserve(root.size() + directory.size() + file_name.size() + 2);
  path.append(root);
  path.push_back(platform::kPathSeparator);
  // An empty directory names a file in the root itself (counters and locks).
  if (!directory.empty()) {
    path.append(directory);
    path.push_back(platform::kPathSeparator);
  }
  path.append(file_name);
  if (capacity == 0 || path.size() > capacity - 1) return std::nullopt;
  return path;
}

std::optional<std::string> RightsListPath(std::string_view root, std::string_view logon) {
  std::string name = "~";
  name.append(logon);
  name.append(".lst");
  return SpoolPath(root, "rights", name);
}

std::optional<std::string> EventFilePath(std::string_view root, std::string_view logon) {
  std::string name(logon);
  name.append(".evt");
  return SpoolPath(root, "events", name);
}

}  // namespace spool
