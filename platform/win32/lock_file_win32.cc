// Lock files on Windows: LockFileEx on one byte far past the content, so it
// never stands in a reader's way (Windows byte-range locks bind readers
// too). The lock belongs to the handle: two handles of one process exclude
// each other, and the system releases it when the handle is closed or the
// process ends. SMB carries it between clients.
#include <windows.h>

#include <atomic>
#include <utility>

#include "platform/lock_file.h"

namespace platform {

namespace {

constexpr DWORD kLockOffset = DWORD{1} << 30;

std::atomic<bool> g_refuse_locks{false};

HANDLE AsHandle(std::intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

// kHeld, kHeldElsewhere, or kUnlockable with the error in `error`.
LockFileState TryAdvisoryLock(HANDLE handle, SystemError& error) {
  if (g_refuse_locks.load()) {
    error = FoundFailure("LockFileEx()", FailureCause::kInjected);
    return LockFileState::kUnlockable;
  }
  OVERLAPPED at{};
  at.Offset = kLockOffset;
  if (LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
    return LockFileState::kHeld;
  }
  error = LastSystemError("LockFileEx()");
  // Only a file system without such locks is taken for one: any other
  // failure (a network error) may hide a holder, and is waited out.
  const bool refused = error.code == ERROR_NOT_SUPPORTED || error.code == ERROR_INVALID_FUNCTION;
  return refused ? LockFileState::kUnlockable : LockFileState::kHeldElsewhere;
}

bool SameFile(HANDLE a, HANDLE b) {
  BY_HANDLE_FILE_INFORMATION first{};
  BY_HANDLE_FILE_INFORMATION second{};
  return GetFileInformationByHandle(a, &first) && GetFileInformationByHandle(b, &second) &&
         first.dwVolumeSerialNumber == second.dwVolumeSerialNumber &&
         first.nFileIndexHigh == second.nFileIndexHigh &&
         first.nFileIndexLow == second.nFileIndexLow;
}

}  // namespace

// Shared for reading, writing and deletion, as every spool file is. Not
// opened with the right to delete: a reader that does not share deletion
// (the C runtime's fopen) could then not read the lock while it is held.
LockFile LockFile::OpenAs(const std::string& path, bool create) {
  HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              create ? CREATE_NEW : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    return LockFile(-1, LockFileState::kClosed, LastSystemError("CreateFileA()"));
  }
  if (create) AfterCreate(path);
  SystemError error;
  const LockFileState state = TryAdvisoryLock(handle, error);
  return LockFile(reinterpret_cast<std::intptr_t>(handle), state, error);
}

// A file whose deletion is pending keeps its name until its last handle
// closes, but no longer opens: it is named by nobody.
bool LockFile::NamedBy(const std::string& path, bool /*ask_listing*/) const {
  if (handle_ == -1) return false;
  FILE_STANDARD_INFO standard{};
  if (!GetFileInformationByHandleEx(AsHandle(handle_), FileStandardInfo, &standard,
                                    sizeof standard) ||
      standard.DeletePending) {
    return false;
  }
  HANDLE named =
      CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (named == INVALID_HANDLE_VALUE) return false;
  const bool same = SameFile(AsHandle(handle_), named);
  CloseHandle(named);
  return same;
}

bool LockFile::Rewrite(std::string_view bytes) {
  if (handle_ == -1) return false;
  HANDLE handle = AsHandle(handle_);
  LARGE_INTEGER start{};
  if (!SetFilePointerEx(handle, start, nullptr, FILE_BEGIN) || !SetEndOfFile(handle)) {
    error_ = LastSystemError("SetEndOfFile()");
    return false;
  }
  std::size_t done = 0;
  while (done < bytes.size()) {
    DWORD written = 0;
    if (!WriteFile(handle, bytes.data() + done, static_cast<DWORD>(bytes.size() - done), &written,
                   nullptr) ||
        written == 0) {
      error_ = LastSystemError("WriteFile()");
      return false;
    }
    done += written;
  }
  return true;
}

// The name leads to this file while its holder holds it. Deleted while
// open, it goes once the last handle on it is closed (this one just after,
// a waiter's when the waiter closes it), and no longer opens meanwhile.
bool LockFile::RemoveAndClose(const std::string& path) {
  bool removed = false;
  if (handle_ != -1) {
    removed = DeleteFileA(path.c_str()) != 0;
    if (!removed) TraceFailure(LastSystemError("DeleteFileA()"), path);
  }
  Close();
  return removed;
}

void LockFile::Close() {
  if (handle_ != -1) CloseHandle(AsHandle(std::exchange(handle_, -1)));
  state_ = LockFileState::kClosed;
}

namespace testing {

void RefuseAdvisoryLocks(bool refuse) { g_refuse_locks.store(refuse); }

}  // namespace testing

}  // namespace platform
