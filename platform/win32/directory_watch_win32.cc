// Directory watches on Windows: not offered; a reader lists the directories
// at its own pace instead.
#include "platform/directory_watch.h"

namespace platform {

bool DirectoryWatch::Open() { return false; }

int DirectoryWatch::Add(const std::string& /*directory*/, Changes /*changes*/) { return -1; }

void DirectoryWatch::Close() { descriptor_ = -1; }

bool DirectoryWatch::Drain(const std::function<void(int, const std::string&)>& /*seen*/) {
  return true;
}

void DirectoryWatch::Wait(std::chrono::milliseconds /*longest*/) const {}

}  // namespace platform
