// POSIX files on plain descriptors: one wrapper per system call, each
// retrying EINTR and keeping the error with the call's name. Files are opened
// close-on-exec, so that a host that spawns processes does not leak spool
// files into them, and non-blocking, so that a pipe named where a file is
// expected is refused at once instead of holding the thread until a writer
// comes (on a regular file the flag changes nothing). Nothing is buffered:
// every reader here reads whole blocks into buffers of its own, and every
// writer hands over whole texts.
#include <fcntl.h>
#include <sys/stat.h>
#ifdef __linux__
#include <sys/vfs.h>
#endif
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "platform/failure_injection.h"
#include "platform/file.h"

namespace platform {

namespace {

int OpenFlags(OpenMode mode) {
  switch (mode) {
    case OpenMode::kRead:
      return O_RDONLY;
    case OpenMode::kWriteTruncate:
      return O_WRONLY | O_CREAT | O_TRUNC;
    case OpenMode::kAppend:
      return O_WRONLY | O_CREAT | O_APPEND;
    case OpenMode::kCreateExclusive:
      return O_WRONLY | O_CREAT | O_EXCL;
  }
  return O_RDONLY;
}

int RobustOpen(const char* path, int flags) {
  int descriptor = -1;
  do {
    descriptor = open(path, flags | O_CLOEXEC | O_NONBLOCK, 0666);
  } while (descriptor < 0 && errno == EINTR);
  return descriptor;
}

}  // namespace

void File::Fail(const char* call) {
  error_ = LastSystemError(call);
  TraceFailure(error_, path_);
}

// POSIX has no text mode: text files are read and written as they are, and
// the spool's text files translate line ends themselves.
File File::OpenAs(const char* path, OpenMode mode, bool /*text*/) {
  if (path == nullptr) return File();
  if (InjectedFileFailure()) return Failed(FoundFailure("open()", FailureCause::kInjected), path);
  const int descriptor = RobustOpen(path, OpenFlags(mode));
  if (descriptor < 0) return Failed(LastSystemError("open()"), path);
  // A directory does not open for writing (EISDIR).
  if (mode != OpenMode::kRead) return File(descriptor, path);
  struct stat info {};
  if (fstat(descriptor, &info) != 0) {
    const SystemError error = LastSystemError("fstat()");
    close(descriptor);
    return Failed(error, path);
  }
  if (!S_ISREG(info.st_mode)) {
    close(descriptor);
    return Failed(FoundFailure("open()", FailureCause::kNotRegularFile), path);
  }
  return File(descriptor, path, static_cast<std::int64_t>(info.st_size));
}

const bool kRuntimeTranslatesText = false;

std::size_t File::Read(void* buffer, std::size_t count) {
  if (!is_open() || count == 0) return 0;
  for (;;) {
    const ssize_t n = read(descriptor_, buffer, count);
    if (n >= 0) {
      // A regular file gives fewer bytes than asked only at its end.
      met_end_ = static_cast<std::size_t>(n) < count;
      return static_cast<std::size_t>(n);
    }
    if (errno != EINTR) {
      Fail("read()");
      return 0;
    }
  }
}

std::size_t File::ReadAt(void* buffer, std::size_t count, std::int64_t offset) {
  if (!is_open() || offset < 0) return 0;
  auto* bytes = static_cast<unsigned char*>(buffer);
  std::size_t got = 0;
  // pread may stop short of the count (a signal): go on until the count, the
  // end of the file or an error.
  while (got < count) {
    const ssize_t n = pread(descriptor_, bytes + got, count - got,
                            static_cast<off_t>(offset) + static_cast<off_t>(got));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) Fail("pread()");
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  return got;
}

bool File::Write(const void* bytes, std::size_t count) {
  if (!is_open()) return false;
  const auto* next = static_cast<const unsigned char*>(bytes);
  std::size_t left = count;
  while (left > 0) {
    const ssize_t n = write(descriptor_, next, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      Fail("write()");
      return false;
    }
    next += n;
    left -= static_cast<std::size_t>(n);
  }
  return true;
}

std::int64_t File::Size() {
  if (!is_open()) return -1;
  struct stat info {};
  if (fstat(descriptor_, &info) != 0) {
    Fail("fstat()");
    return -1;
  }
  return static_cast<std::int64_t>(info.st_size);
}

bool File::Seek(std::int64_t offset) {
  if (!is_open() || offset < 0) return false;
  if (lseek(descriptor_, static_cast<off_t>(offset), SEEK_SET) < 0) {
    Fail("lseek()");
    return false;
  }
  return true;
}

bool File::Close() {
  if (!is_open()) return true;
  // Not retried on EINTR: on Linux the descriptor is gone either way.
  const bool ok = close(std::exchange(descriptor_, -1)) == 0;
  if (!ok) Fail("close()");
  return ok;
}

bool RemoveFile(const char* path) {
  if (path == nullptr) return false;
  if (unlink(path) == 0) return true;
  // Already gone is what the caller wanted: not worth a trace line.
  if (errno != ENOENT) TraceFailure(LastSystemError("unlink()"), path);
  return false;
}

bool ReplaceFile(const std::string& source, const std::string& target) {
  // rename() is atomic within one file system.
  if (std::rename(source.c_str(), target.c_str()) == 0) return true;
  TraceFailure(LastSystemError("rename()"), target);
  return false;
}

const bool kFileNamesIgnoreCase = false;

bool FileExists(const char* path) {
  if (path == nullptr || InjectedFileFailure()) return false;
  struct stat info {};
  if (stat(path, &info) == 0) return !S_ISDIR(info.st_mode);
  // Not there is an answer; anything else (no right to look) is a failure.
  if (errno != ENOENT && errno != ENOTDIR) TraceFailure(LastSystemError("stat()"), path);
  return false;
}

// ---- Stamps of files ----

namespace {

std::int64_t Nanoseconds(const timespec& time) {
  return static_cast<std::int64_t>(time.tv_sec) * 1000000000 + time.tv_nsec;
}

bool RobustStat(const char* path, struct stat& info) {
  int result = -1;
  do {
    result = stat(path, &info);
  } while (result != 0 && errno == EINTR);
  return result == 0;
}

void FillStamp(const struct stat& info, FileStamp& stamp) {
  stamp.device = static_cast<std::uint64_t>(info.st_dev);
  stamp.inode = static_cast<std::uint64_t>(info.st_ino);
  stamp.size = static_cast<std::int64_t>(info.st_size);
  stamp.modified_ns = Nanoseconds(info.st_mtim);
  stamp.changed_ns = Nanoseconds(info.st_ctim);
  stamp.regular = S_ISREG(info.st_mode);
}

}  // namespace

const bool kFileStampsTellChanges = true;

bool StampOfFile(const char* path, FileStamp& stamp, SystemError* error) {
  if (path == nullptr) return false;
  struct stat info {};
  if (!RobustStat(path, info)) {
    const SystemError failure = LastSystemError("stat()");
    TraceFailure(failure, path);
    if (error != nullptr) *error = failure;
    return false;
  }
  if (S_ISDIR(info.st_mode)) {
    if (error != nullptr) *error = FoundFailure("stat()", FailureCause::kNotRegularFile);
    return false;
  }
  FillStamp(info, stamp);
  return true;
}

bool FileExistsStamped(const char* path, FileStamp& stamp) {
  if (path == nullptr || InjectedFileFailure()) return false;
  struct stat info {};
  if (RobustStat(path, info)) {
    FillStamp(info, stamp);
    return !S_ISDIR(info.st_mode);
  }
  if (errno != ENOENT && errno != ENOTDIR) TraceFailure(LastSystemError("stat()"), path);
  return false;
}

std::int64_t FileClockNanoseconds() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return Nanoseconds(now);
}

FileSystemSharing SharingOfFileSystemType(std::uint64_t type) {
  // File systems on this machine's own disks and memory. Everything else
  // (NFS, SMB, FUSE such as GlusterFS, Ceph, 9p, cluster file systems, and
  // types not listed) may answer from a client's cache.
  switch (type) {
    case 0xEF53:      // ext2, ext3, ext4
    case 0x58465342:  // xfs
    case 0x9123683E:  // btrfs
    case 0x01021994:  // tmpfs
    case 0x858458F6:  // ramfs
    case 0x794C7630:  // overlayfs
    case 0x2FC12FC1:  // zfs
    case 0xF2F52010:  // f2fs
    case 0xCA451A4E:  // bcachefs
    case 0x3153464A:  // jfs
      return FileSystemSharing::kLocal;
    default:
      return FileSystemSharing::kShared;
  }
}

FileSystemSharing SharingOfFileSystem(const char* path) {
#ifdef __linux__
  struct statfs info {};
  int result = -1;
  do {
    result = path == nullptr ? -1 : statfs(path, &info);
  } while (result != 0 && errno == EINTR);
  if (result == 0) return SharingOfFileSystemType(static_cast<std::uint64_t>(info.f_type));
#else
  (void)path;
#endif
  return FileSystemSharing::kShared;
}

Removal RemoveFileTelling(const char* path) {
  if (path == nullptr) return Removal::kFailed;
  if (unlink(path) == 0) return Removal::kRemoved;
  if (errno == ENOENT) return Removal::kAbsent;
  TraceFailure(LastSystemError("unlink()"), path);
  return Removal::kFailed;
}

}  // namespace platform
