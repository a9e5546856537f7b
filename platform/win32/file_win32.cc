// Windows files: opened with CreateFileA (exclusive creation is CREATE_NEW)
// and read and written through the C runtime's streams, text files in the
// runtime's own text mode.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <atomic>
#include <cstdio>

#include "platform/file.h"

#undef ReplaceFile

namespace platform {

namespace {

std::atomic<int> g_fail_open_countdown{0};

constexpr std::int64_t kLargeReadBuffer = 64 * 1024;

bool InjectedOpenFailure() {
  int remaining = g_fail_open_countdown.load();
  while (remaining > 0) {
    if (g_fail_open_countdown.compare_exchange_weak(remaining, remaining - 1)) {
      return remaining == 1;
    }
  }
  return false;
}

struct Modes {
  DWORD access;
  DWORD disposition;
  int flags;           // for _open_osfhandle
  const char* stream;  // for _fdopen
};

Modes ModesOf(OpenMode mode, bool text) {
  const int translation = text ? _O_TEXT : _O_BINARY;
  switch (mode) {
    case OpenMode::kRead:
      return {GENERIC_READ, OPEN_EXISTING, _O_RDONLY | translation, text ? "rt" : "rb"};
    case OpenMode::kWriteTruncate:
      return {GENERIC_WRITE, CREATE_ALWAYS, translation, text ? "wt" : "wb"};
    case OpenMode::kAppend:
      return {GENERIC_WRITE, OPEN_ALWAYS, _O_APPEND | translation, text ? "at" : "ab"};
    case OpenMode::kCreateExclusive:
      return {GENERIC_WRITE, CREATE_NEW, translation, text ? "wt" : "wb"};
  }
  return {GENERIC_READ, OPEN_EXISTING, _O_RDONLY | translation, text ? "rt" : "rb"};
}

// Opens `path` as a C runtime stream; `regular` tells whether it is a file on
// disk (rather than a device such as a pipe or the console).
std::FILE* OpenStream(const char* path, OpenMode mode, bool text, bool& regular) {
  regular = false;
  if (path == nullptr || InjectedOpenFailure()) return nullptr;
  const Modes modes = ModesOf(mode, text);
  // Shared for deletion too: a lock file or a picked-up spool file is removed
  // while another request may be testing it, as on POSIX. The handle is not
  // inherited by processes the host starts. A directory does not open
  // without FILE_FLAG_BACKUP_SEMANTICS, so it is never taken for a file.
  HANDLE file =
      CreateFileA(path, modes.access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, modes.disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return nullptr;
  regular = GetFileType(file) == FILE_TYPE_DISK;
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(file, &size)) {
    CloseHandle(file);
    return nullptr;
  }
  const int descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(file), modes.flags);
  if (descriptor < 0) {
    CloseHandle(file);
    return nullptr;
  }
  std::FILE* handle = _fdopen(descriptor, modes.stream);
  if (handle == nullptr) {
    _close(descriptor);  // closes the handle too
    return nullptr;
  }
  // Large files are read in larger pieces than the default block.
  if (mode == OpenMode::kRead && size.QuadPart > kLargeReadBuffer) {
    std::setvbuf(handle, nullptr, _IOFBF, static_cast<std::size_t>(kLargeReadBuffer));
  }
  return handle;
}

}  // namespace

const bool kRuntimeTranslatesText = true;

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
  bool regular = false;
  std::FILE* handle = OpenStream(path, mode, false, regular);
  return File(handle, regular);
}

File File::OpenText(const char* path, OpenMode mode) {
  bool regular = false;
  std::FILE* handle = OpenStream(path, mode, true, regular);
  return File(handle, regular);
}

std::size_t File::Read(void* buffer, std::size_t count) {
  if (handle_ == nullptr || count == 0) return 0;
  // Every read asks the file as it is now: an end of file met by an earlier
  // read is forgotten, as on POSIX. The runtime remembers it on the stream
  // and on the descriptor under it until the next seek.
  if (std::feof(handle_)) {
    const std::int64_t here = _ftelli64(handle_);
    if (here < 0 || _fseeki64(handle_, here, SEEK_SET) != 0) return 0;
  }
  return std::fread(buffer, 1, count, handle_);
}

// Reads the untranslated bytes at `offset` from the handle under the stream.
// A read with an offset on a handle opened without FILE_FLAG_OVERLAPPED still
// moves the handle's position, so the position is put back afterwards; the
// stream's own buffer and position are not touched.
std::size_t File::ReadAt(void* buffer, std::size_t count, std::int64_t offset) {
  if (handle_ == nullptr || offset < 0) return 0;
  const intptr_t os_handle = _get_osfhandle(_fileno(handle_));
  if (os_handle == -1) return 0;
  const HANDLE file = reinterpret_cast<HANDLE>(os_handle);
  LARGE_INTEGER zero{};
  LARGE_INTEGER position{};
  if (!SetFilePointerEx(file, zero, &position, FILE_CURRENT)) return 0;
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
    if (!::ReadFile(file, bytes + got, piece, &read, &where) || read == 0) break;
    got += read;
  }
  SetFilePointerEx(file, position, nullptr, FILE_BEGIN);
  return got;
}

int File::ReadByte() {
  if (handle_ == nullptr) return -1;
  const int byte = std::getc(handle_);
  return byte == EOF ? -1 : byte;
}

bool File::Write(const void* bytes, std::size_t count) {
  if (handle_ == nullptr) return false;
  if (count == 0) return true;
  return std::fwrite(bytes, 1, count, handle_) == count;
}

std::int64_t File::Size() {
  if (handle_ == nullptr) return -1;
  const std::int64_t here = _ftelli64(handle_);
  if (here < 0 || _fseeki64(handle_, 0, SEEK_END) != 0) return -1;
  const std::int64_t end = _ftelli64(handle_);
  if (_fseeki64(handle_, here, SEEK_SET) != 0) return -1;
  return end;
}

bool File::Seek(std::int64_t offset) {
  if (handle_ == nullptr || offset < 0) return false;
  return _fseeki64(handle_, offset, SEEK_SET) == 0;
}

bool File::Close() {
  if (handle_ == nullptr) return true;
  const bool ok = std::fclose(handle_) == 0;
  handle_ = nullptr;
  return ok;
}

bool RemoveFile(const char* path) { return path != nullptr && DeleteFileA(path) != 0; }

bool FileCanBeRead(const char* path) { return File::Open(path, OpenMode::kRead).is_open(); }

// Names differing only in letter case name the same file on Windows.
const bool kFileNamesIgnoreCase = true;

// MoveFileEx replaces the target in one step, as rename() does on POSIX; a
// target that cannot be replaced (held open without shared deletion) is left
// as it was.
bool ReplaceFile(const std::string& source, const std::string& target) {
  return MoveFileExA(source.c_str(), target.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

namespace testing {

void FailNthFileOpen(int nth) { g_fail_open_countdown.store(nth > 0 ? nth : 0); }

}  // namespace testing

}  // namespace platform
