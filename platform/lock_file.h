// Lock files whose holder the system knows. A process that holds a lock file
// also holds an advisory lock on it, through the descriptor it keeps open;
// the system releases that lock when the descriptor is closed, and so when
// the process dies, whatever its clocks say. A waiter that finds the file
// present and its advisory lock free knows its holder is gone.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/system_error.h"

namespace platform {

enum class LockFileState {
  kClosed,         // nothing open: Create or Open failed (error() says why)
  kHeld,           // open, and its advisory lock is held through this object
  kHeldElsewhere,  // open, but another open of the file holds the advisory lock
  kUnlockable,     // open, but the file system refuses advisory locks (error())
};

class LockFile {
 public:
  LockFile() = default;
  ~LockFile() { Close(); }
  LockFile(LockFile&& other) noexcept;
  LockFile& operator=(LockFile&& other) noexcept;
  LockFile(const LockFile&) = delete;
  LockFile& operator=(const LockFile&) = delete;

  // Creates `path`, failing when anything exists there (cause kExists), and
  // tries its advisory lock without waiting.
  [[nodiscard]] static LockFile Create(const std::string& path);
  // Opens the file at `path` and tries its advisory lock without waiting.
  [[nodiscard]] static LockFile Open(const std::string& path);

  LockFileState state() const { return state_; }
  const SystemError& error() const { return error_; }

  // Whether `path` leads to the very file this object has open, and that
  // file is still linked. With `ask_listing` the directory's listing must
  // say so too: a shared file system's client may keep a name's old file
  // in its cache for a while after another client removed it.
  [[nodiscard]] bool NamedBy(const std::string& path, bool ask_listing) const;
  // Replaces the whole content by `bytes`, as they are (no translation).
  [[nodiscard]] bool Rewrite(std::string_view bytes);
  // Removes `path`, which names this file, and then closes it: in that
  // order, so a waiter that gets the advisory lock afterwards finds the
  // name gone or leading to another file. False if the name was not removed.
  bool RemoveAndClose(const std::string& path);
  // Closes, releasing the advisory lock; the file stays.
  void Close();

 private:
  LockFile(std::intptr_t handle, LockFileState state, SystemError error)
      : handle_(handle), state_(state), error_(error) {}
  static LockFile OpenAs(const std::string& path, bool create);
  // Runs the tests' hook, if any, between a creation and its advisory lock.
  static void AfterCreate(const std::string& path);

  // A descriptor on POSIX, a HANDLE on Windows; -1 when closed.
  std::intptr_t handle_ = -1;
  LockFileState state_ = LockFileState::kClosed;
  SystemError error_;
};

namespace testing {
// While `refuse` is set every advisory lock is refused, as by a file system
// that has none (state kUnlockable, cause kInjected). For fault tests.
void RefuseAdvisoryLocks(bool refuse);
// Runs `hook` (null: none) in the window between a lock file's creation and
// its advisory lock, where other processes may take the new file over.
void SetCreatedLockHook(void (*hook)(const std::string& path));
}  // namespace testing

}  // namespace platform
