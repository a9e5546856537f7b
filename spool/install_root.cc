// Finding the install root: the first line of the pointer file beside the
// module (or, without a module of our own name, beside the host executable),
// else the module's own directory, else the built-in default.
#include "spool/install_root.h"

#include <string>

#include "platform/module_path.h"
#include "spool/text_file.h"

namespace spool {

const char* const kPointerFileName = "dudarovuvadu.dir";

namespace {

// The pointer file's first line is read into a 256-character buffer.
constexpr std::size_t kPointerLineChars = 255;

// Cuts `path` at its last separator, which is removed. A separator in the
// first position does not count, so "/x" stays whole.
std::string DirectoryOf(const std::string& path) {
  for (std::size_t i = path.size(); i > 1; --i) {
    if (path[i - 1] == platform::kPathSeparator) return path.substr(0, i - 1);
  }
  return path;
}

}  // namespace

std::string ResolveInstallRoot(std::size_t capacity) {
  const std::string module_path = platform::LoadedModulePath();
  const bool has_module = !module_path.empty();
  std::string file_name = has_module ? module_path : platform::ExecutablePath();
  // Without any file name there is no directory to look in.
  if (file_name.empty() || capacity < 2) return kDefaultInstallRoot;
  // The platform reports the name into a buffer of `capacity` characters,
  // cutting a longer one.
  if (file_name.size() > capacity - 1) file_name.resize(capacity - 1);

  const std::string directory = DirectoryOf(file_name);
  std::string pointer_path = directory;
  pointer_path.push_back(platform::kPathSeparator);
  pointer_path.append(kPointerFileName);

  // A pointer path that would not fit the buffer is a pointer file that
  // cannot be opened.
  if (pointer_path.size() <= capacity - 1) {
    TextFileReader pointer(pointer_path);
    if (pointer.is_open()) {
      std::string line;
      pointer.ReadLine(line, kPointerLineChars);
      CutLineEnd(line, 2);
      return line;
    }
  }
  return has_module ? directory : std::string(kDefaultInstallRoot);
}

}  // namespace spool
