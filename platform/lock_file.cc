// The parts of LockFile that do not touch the system.
#include "platform/lock_file.h"

#include <atomic>
#include <utility>

namespace platform {

namespace {
std::atomic<void (*)(const std::string&)> g_created_hook{nullptr};
}  // namespace

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

void LockFile::AfterCreate(const std::string& path) {
  if (auto* hook = g_created_hook.load()) hook(path);
}

namespace testing {

void SetCreatedLockHook(void (*hook)(const std::string& path)) { g_created_hook.store(hook); }

}  // namespace testing

}  // namespace platform
