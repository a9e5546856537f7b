// The parts of LockFile that do not touch the system.
#include "platform/lock_file.h"

#include <utility>

namespace platform {

LockFile::LockFile(LockFile&& other) noexcept
    : handle_(std::exchange(other.handle_, -1)),
      state_(std::exchange(other.state_, LockFileState::kClosed)),
      error_(other.error_) {}

LockFile& LockFile::operator=(LockFile&& other) noexcept {
  if (this != &other) {
    Close();
    handle_ = std::exchange(other.handle_, -1);
    state_ = std::exchange(other.state_, LockFileState::kClosed);
    error_ = other.error_;
  }
  return *this;
}

LockFile LockFile::Create(const std::string& path) { return OpenAs(path, true); }

LockFile LockFile::Open(const std::string& path) { return OpenAs(path, false); }

}  // namespace platform
