// Windows files: opened with CreateFileA (exclusive creation is CREATE_NEW),
// refused unless they are files on disk, then read and written through the C
// runtime's descriptors, text files in the runtime's own text mode; one
// wrapper per call, each keeping the error with the call's name. Nothing is
// buffered: every reader here reads whole blocks into buffers of its own, and
// every writer hands over whole texts.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdlib>
#include <utility>

#include "platform/failure_injection.h"
#include "platform/file.h"

#undef ReplaceFile

namespace platform {

namespace {

struct Modes {
  DWORD access;
  DWORD disposition;
  int flags;  // for _open_osfhandle
};

Modes ModesOf(OpenMode mode, bool text) {
  const int translation = text ? _O_TEXT : _O_BINARY;
  switch (mode) {
    case OpenMode::kRead:
      return {GENERIC_READ, OPEN_EXISTING, _O_RDONLY | translation};
    case OpenMode::kWriteTruncate:
      return {GENERIC_WRITE, CREATE_ALWAYS, translation};
    case OpenMode::kAppend:
      return {GENERIC_WRITE, OPEN_ALWAYS, _O_APPEND | translation};
    case OpenMode::kCreateExclusive:
      return {GENERIC_WRITE, CREATE_NEW, translation};
  }
  return {GENERIC_READ, OPEN_EXISTING, _O_RDONLY | translation};
}

// A failed call of the C runtime: the runtime keeps the system's error of
// the call under it in _doserrno.
SystemError RuntimeError(const char* call) {
  SetLastError(static_cast<DWORD>(_doserrno));
  return LastSystemError(call);
}

HANDLE OsHandle(int descriptor) { return reinterpret_cast<HANDLE>(_get_osfhandle(descriptor)); }

}  // namespace

const bool kRuntimeTranslatesText = true;

void File::Fail(const char* call) {
  error_ = RuntimeError(call);
  TraceFailure(error_, path_);
}

// Shared for deletion too: a lock file or a picked-up spool file is removed
// while another request may be testing it, as on POSIX. The handle is not
// inherited by processes the host starts. A directory does not open without
// FILE_FLAG_BACKUP_SEMANTICS; a pipe, console or device opens, but is not a
// file on disk and is refused for reading.
File File::OpenAs(const char* path, OpenMode mode, bool text) {
  if (path == nullptr) return File();
  if (InjectedFileFailure()) {
    return Failed(FoundFailure("CreateFileA()", FailureCause::kInjected), path);
  }
  const Modes modes = ModesOf(mode, text);
  HANDLE handle =
      CreateFileA(path, modes.access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, modes.disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return Failed(LastSystemError("CreateFileA()"), path);
  LARGE_INTEGER size{};
  size.QuadPart = -1;
  if (mode == OpenMode::kRead) {
    if (GetFileType(handle) != FILE_TYPE_DISK) {
      CloseHandle(handle);
      return Failed(FoundFailure("CreateFileA()", FailureCause::kNotRegularFile), path);
    }
    if (!GetFileSizeEx(handle, &size)) {
      const SystemError error = LastSystemError("GetFileSizeEx()");
      CloseHandle(handle);
      return Failed(error, path);
    }
  }
  const int descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(handle), modes.flags);
  if (descriptor < 0) {
    const SystemError error = RuntimeError("_open_osfhandle()");
    CloseHandle(handle);
    return Failed(error, path);
  }
  return File(descriptor, path, size.QuadPart);
}

std::size_t File::Read(void* buffer, std::size_t count) {
  if (!is_open() || count == 0) return 0;
  // Every read asks the file as it is now: the runtime answers nothing after
  // a read met the end until the position is set again.
  if (met_end_ && _lseeki64(descriptor_, 0, SEEK_CUR) < 0) {
    Fail("_lseeki64()");
    return 0;
  }
  met_end_ = false;
  // In text mode the runtime gives fewer bytes than it read (CR LF becomes
  // LF): only a read that gives nothing has met the end.
  auto* bytes = static_cast<unsigned char*>(buffer);
  std::size_t got = 0;
  while (got < count) {
    const std::size_t left = count - got;
    const unsigned piece = left > 0x40000000u ? 0x40000000u : static_cast<unsigned>(left);
    const int n = _read(descriptor_, bytes + got, piece);
    if (n < 0) Fail("_read()");
    if (n <= 0) {
      met_end_ = true;
      break;
    }
    got += static_cast<std::size_t>(n);
  }
  return got;
}

// Reads the untranslated bytes at `offset` from the handle under the
// descriptor. A read with an offset on a handle opened without
// FILE_FLAG_OVERLAPPED still moves the handle's position, so the position is
// put back afterwards.
std::size_t File::ReadAt(void* buffer, std::size_t count, std::int64_t offset) {
  if (!is_open() || offset < 0) return 0;
  const HANDLE file = OsHandle(descriptor_);
  LARGE_INTEGER zero{};
  LARGE_INTEGER position{};
  if (!SetFilePointerEx(file, zero, &position, FILE_CURRENT)) {
    Fail("SetFilePointerEx()");
    return 0;
  }
  auto* bytes = static_cast<unsigned char*>(buffer);
  std::size_t got = 0;
  while (got < count) {
    const std::size_t left = count - got;
    const DWORD piece = left > 0x40000000u ? 0x40000000u : static_cast<DWORD>(left);
    const std::uint64_t at = static_cast<std::uint64_t>(offset) + got;
    OVERLAPPED where{};
    where.Offset = static_cast<DWORD>(at & 0xFFFFFFFFu);
    where.OffsetHigh = static_cast<DWORD>(at >> 32);
    DWORD read = 0;
    if (!::ReadFile(file, bytes + got, piece, &read, &where)) {
      // Reading from the end on is no error, only the end.
      if (GetLastError() != ERROR_HANDLE_EOF) Fail("ReadFile()");
      break;
    }
    if (read == 0) break;
    got += read;
  }
  SetFilePointerEx(file, position, nullptr, FILE_BEGIN);
  return got;
}

bool File::Write(const void* bytes, std::size_t count) {
  if (!is_open()) return false;
  const auto* next = static_cast<const unsigned char*>(bytes);
  std::size_t left = count;
  while (left > 0) {
    const unsigned piece = left > 0x40000000u ? 0x40000000u : static_cast<unsigned>(left);
    // In text mode the count is of the bytes given, before LF became CR LF.
    const int n = _write(descriptor_, next, piece);
    if (n <= 0) {
      Fail("_write()");
      return false;
    }
    next += n;
    left -= static_cast<std::size_t>(n);
  }
  return true;
}

std::int64_t File::Size() {
  if (!is_open()) return -1;
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(OsHandle(descriptor_), &size)) {
    Fail("GetFileSizeEx()");
    return -1;
  }
  return size.QuadPart;
}

bool File::Seek(std::int64_t offset) {
  if (!is_open() || offset < 0) return false;
  if (_lseeki64(descriptor_, offset, SEEK_SET) < 0) {
    Fail("_lseeki64()");
    return false;
  }
  met_end_ = false;
  return true;
}

bool File::Close() {
  if (!is_open()) return true;
  // Closes the handle too.
  const bool ok = _close(std::exchange(descriptor_, -1)) == 0;
  if (!ok) Fail("_close()");
  return ok;
}

bool RemoveFile(const char* path) {
  if (path == nullptr) return false;
  if (DeleteFileA(path) != 0) return true;
  // Already gone is what the caller wanted: not worth a trace line.
  const SystemError error = LastSystemError("DeleteFileA()");
  if (error.cause != FailureCause::kNotFound) TraceFailure(error, path);
  return false;
}

bool FileExists(const char* path) {
  if (path == nullptr || InjectedFileFailure()) return false;
  const DWORD attributes = GetFileAttributesA(path);
  if (attributes != INVALID_FILE_ATTRIBUTES) return (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
  // Not there is an answer; anything else (no right to look) is a failure.
  const SystemError error = LastSystemError("GetFileAttributesA()");
  if (error.cause != FailureCause::kNotFound) TraceFailure(error, path);
  return false;
}

// Names differing only in letter case name the same file on Windows.
const bool kFileNamesIgnoreCase = true;

// MoveFileEx replaces the target in one step, as rename() does on POSIX; a
// target that cannot be replaced (held open without shared deletion) is left
// as it was.
bool ReplaceFile(const std::string& source, const std::string& target) {
  if (MoveFileExA(source.c_str(), target.c_str(),
                  MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0) {
    return true;
  }
  TraceFailure(LastSystemError("MoveFileExA()"), target);
  return false;
}

// ---- Stamps of files ----
// The calls used here report no inode and no change time, so a stamp cannot
// tell every change of a file: nothing is kept between requests on Windows,
// and every request reads its files afresh.

const bool kFileStampsTellChanges = false;

bool StampOfFile(const char* path, FileStamp& stamp, SystemError* error) {
  stamp = FileStamp{};
  if (path == nullptr) return false;
  const DWORD attributes = GetFileAttributesA(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const SystemError failure = LastSystemError("GetFileAttributesA()");
    TraceFailure(failure, path);
    if (error != nullptr) *error = failure;
    return false;
  }
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    if (error != nullptr)
      *error = FoundFailure("GetFileAttributesA()", FailureCause::kNotRegularFile);
    return false;
  }
  return true;
}

bool FileExistsStamped(const char* path, FileStamp& stamp) {
  stamp = FileStamp{};
  return FileExists(path);
}

std::int64_t FileClockNanoseconds() {
  FILETIME now{};
  GetSystemTimeAsFileTime(&now);
  const std::int64_t ticks =
      (static_cast<std::int64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
  // 100 ns ticks since 1601.
  return (ticks - 116444736000000000LL) * 100;
}

FileSystemSharing SharingOfFileSystemType(std::uint64_t) { return FileSystemSharing::kShared; }

FileSystemSharing SharingOfFileSystem(const char*) { return FileSystemSharing::kShared; }

Removal RemoveFileTelling(const char* path) {
  if (path == nullptr) return Removal::kFailed;
  if (DeleteFileA(path) != 0) return Removal::kRemoved;
  const SystemError error = LastSystemError("DeleteFileA()");
  if (error.cause == FailureCause::kNotFound) return Removal::kAbsent;
  TraceFailure(error, path);
  return Removal::kFailed;
}

}  // namespace platform
