// Lock files on POSIX: an open file description lock (F_OFD_SETLK) on one
// byte far past the content, so it never stands in a reader's way. Such a
// lock belongs to the open file, not to the process: two threads of one
// process exclude each other, and closing another descriptor of the same
// file (a read-back of the content) leaves it in place. Local file systems,
// NFS and FUSE file systems that carry locks (GlusterFS) take it.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <optional>
#include <utility>

#include "platform/directory.h"
#include "platform/lock_file.h"

namespace platform {

namespace {

constexpr off_t kLockOffset = off_t{1} << 30;

std::atomic<bool> g_refuse_locks{false};

// kHeld, kHeldElsewhere, or kUnlockable with the error in `error`.
LockFileState TryAdvisoryLock(int descriptor, SystemError& error) {
  if (g_refuse_locks.load()) {
    error = FoundFailure("fcntl(F_OFD_SETLK)", FailureCause::kInjected);
    return LockFileState::kUnlockable;
  }
  struct flock range {};
  range.l_type = F_WRLCK;
  range.l_whence = SEEK_SET;
  range.l_start = kLockOffset;
  range.l_len = 1;
  for (;;) {
    if (fcntl(descriptor, F_OFD_SETLK, &range) == 0) return LockFileState::kHeld;
    if (errno == EINTR) continue;
    const int code = errno;
    error = LastSystemError("fcntl(F_OFD_SETLK)");
    // Only a file system without such locks is taken for one: any other
    // failure (a network error) may hide a holder, and is waited out.
    const bool refused = code == ENOLCK || code == EINVAL || code == EOPNOTSUPP || code == ENOSYS;
    return refused ? LockFileState::kUnlockable : LockFileState::kHeldElsewhere;
  }
}

std::string DirectoryOf(const std::string& path) {
  const std::size_t separator = path.find_last_of('/');
  return separator == std::string::npos ? std::string(".") : path.substr(0, separator);
}

std::string NameOf(const std::string& path) {
  const std::size_t separator = path.find_last_of('/');
  return separator == std::string::npos ? path : path.substr(separator + 1);
}

}  // namespace

LockFile LockFile::OpenAs(const std::string& path, bool create) {
  const int flags = O_RDWR | O_CLOEXEC | O_NONBLOCK | (create ? O_CREAT | O_EXCL : 0);
  int descriptor = -1;
  do {
    descriptor = open(path.c_str(), flags, 0666);
  } while (descriptor < 0 && errno == EINTR);
  if (descriptor < 0) return LockFile(-1, LockFileState::kClosed, LastSystemError("open()"));
  if (create) AfterCreate(path);
  SystemError error;
  const LockFileState state = TryAdvisoryLock(descriptor, error);
  return LockFile(descriptor, state, error);
}

bool LockFile::NamedBy(const std::string& path, bool ask_listing) const {
  if (handle_ < 0) return false;
  struct stat held {};
  struct stat named {};
  if (fstat(static_cast<int>(handle_), &held) != 0 || held.st_nlink == 0) return false;
  if (stat(path.c_str(), &named) != 0) return false;
  if (held.st_dev != named.st_dev || held.st_ino != named.st_ino) return false;
  if (!ask_listing) return true;
  const std::optional<std::uint64_t> listed = ListedFileId(DirectoryOf(path), NameOf(path));
  return listed && *listed == static_cast<std::uint64_t>(held.st_ino);
}

bool LockFile::Rewrite(std::string_view bytes) {
  if (handle_ < 0) return false;
  const int descriptor = static_cast<int>(handle_);
  if (ftruncate(descriptor, 0) != 0) {
    error_ = LastSystemError("ftruncate()");
    return false;
  }
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n =
        pwrite(descriptor, bytes.data() + done, bytes.size() - done, static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error_ = LastSystemError("pwrite()");
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

bool LockFile::RemoveAndClose(const std::string& path) {
  const bool removed = handle_ >= 0 && unlink(path.c_str()) == 0;
  if (handle_ >= 0 && !removed && errno != ENOENT) TraceFailure(LastSystemError("unlink()"), path);
  Close();
  return removed;
}

// A held lock is released explicitly before the close: a FUSE client
// releases an open file description's lock only when the server handles
// the file's release, which comes after the close and asynchronously; until
// then a new open of the file could be taken there for the same owner.
void LockFile::Close() {
  if (handle_ >= 0 && state_ == LockFileState::kHeld) {
    struct flock range {};
    range.l_type = F_UNLCK;
    range.l_whence = SEEK_SET;
    range.l_start = kLockOffset;
    range.l_len = 1;
    while (fcntl(static_cast<int>(handle_), F_OFD_SETLK, &range) != 0 && errno == EINTR) {
    }
  }
  if (handle_ >= 0) close(static_cast<int>(std::exchange(handle_, -1)));
  state_ = LockFileState::kClosed;
}

namespace testing {

void RefuseAdvisoryLocks(bool refuse) { g_refuse_locks.store(refuse); }

}  // namespace testing

}  // namespace platform
