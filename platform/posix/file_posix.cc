// POSIX files over stdio, opened close-on-exec ("e") so that a host that
// spawns processes does not leak spool files into them. stdio retries EINTR.
// Reads bypass stdio's buffer and go straight to the descriptor: every reader
// here reads whole blocks into buffers of its own, so stdio's buffer would
// only cost a copy, an fstat to size it and a second read at the end.
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>

#include "platform/file.h"

namespace platform {

namespace {

std::atomic<int> g_fail_open_countdown{0};

bool InjectedOpenFailure() {
  int remaining = g_fail_open_countdown.load();
  while (remaining > 0) {
    if (g_fail_open_countdown.compare_exchange_weak(remaining, remaining - 1)) {
      return remaining == 1;
    }
  }
  return false;
}

const char* ModeText(OpenMode mode) {
  switch (mode) {
    case OpenMode::kRead:
      return "rbe";
    case OpenMode::kWriteTruncate:
      return "wbe";
    case OpenMode::kAppend:
      return "abe";
    case OpenMode::kCreateExclusive:
      return "wbxe";
  }
  return "rbe";
}

}  // namespace

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    Close();
    handle_ = other.handle_;
    regular_ = other.regular_;
    other.handle_ = nullptr;
  }
  return *this;
}

File File::Open(const char* path, OpenMode mode) {
  if (path == nullptr || InjectedOpenFailure()) return File();
  std::FILE* handle = std::fopen(path, ModeText(mode));
  if (handle == nullptr) return File();
  // A directory opens for reading on POSIX; it is not a file here.
  struct stat info {};
  if (fstat(fileno(handle), &info) != 0 || S_ISDIR(info.st_mode)) {
    std::fclose(handle);
    return File();
  }
  return File(handle, S_ISREG(info.st_mode));
}

// POSIX has no text mode: text files are read and written as they are, and
// the spool's text files translate line ends themselves.
File File::OpenText(const char* path, OpenMode mode) { return Open(path, mode); }

const bool kRuntimeTranslatesText = false;

std::size_t File::Read(void* buffer, std::size_t count) {
  if (handle_ == nullptr || count == 0) return 0;
  const int descriptor = fileno(handle_);
  auto* bytes = static_cast<unsigned char*>(buffer);
  std::size_t got = 0;
  while (got < count) {
    const ssize_t n = read(descriptor, bytes + got, count - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
    // A regular file gives fewer bytes than asked only at its end: asking
    // again would only read nothing.
    if (regular_) break;
  }
  return got;
}

std::size_t File::ReadAt(void* buffer, std::size_t count, std::int64_t offset) {
  if (handle_ == nullptr || offset < 0) return 0;
  const int descriptor = fileno(handle_);
  auto* bytes = static_cast<unsigned char*>(buffer);
  std::size_t got = 0;
  // pread may stop short of the count (a signal, a pipe-like file): go on
  // until the count, the end of the file or an error.
  while (got < count) {
    const ssize_t n = pread(descriptor, bytes + got, count - got,
                            static_cast<off_t>(offset) + static_cast<off_t>(got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  return got;
}

int File::ReadByte() {
  unsigned char byte = 0;
  return Read(&byte, 1) == 1 ? byte : -1;
}

bool File::Write(const void* bytes, std::size_t count) {
  if (handle_ == nullptr) return false;
  if (count == 0) return true;
  return std::fwrite(bytes, 1, count, handle_) == count;
}

std::int64_t File::Size() {
  if (handle_ == nullptr || std::fflush(handle_) != 0) return -1;
  struct stat info {};
  if (fstat(fileno(handle_), &info) != 0) return -1;
  return static_cast<std::int64_t>(info.st_size);
}

bool File::Seek(std::int64_t offset) {
  if (handle_ == nullptr || offset < 0 || std::fflush(handle_) != 0) return false;
  // On the descriptor, where Read reads: stdio's seek would fill its own
  // buffer, which Read never looks at.
  return lseek(fileno(handle_), static_cast<off_t>(offset), SEEK_SET) >= 0;
}

bool File::Close() {
  if (handle_ == nullptr) return true;
  const bool ok = std::fclose(handle_) == 0;
  handle_ = nullptr;
  return ok;
}

bool RemoveFile(const char* path) { return path != nullptr && unlink(path) == 0; }

bool ReplaceFile(const std::string& source, const std::string& target) {
  // rename() is atomic within one file system.
  return std::rename(source.c_str(), target.c_str()) == 0;
}

const bool kFileNamesIgnoreCase = false;

bool FileCanBeRead(const char* path) { return File::Open(path, OpenMode::kRead).is_open(); }

namespace testing {

void FailNthFileOpen(int nth) { g_fail_open_countdown.store(nth > 0 ? nth : 0); }

}  // namespace testing

}  // namespace platform
