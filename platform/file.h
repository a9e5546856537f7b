// Files, the only way the module touches the disk. Every file is opened and
// closed within one operation; File closes itself when it goes out of scope.
// Open() gives untranslated bytes. OpenText() opens a spool text file: in the
// C runtime's text mode where the runtime has one (Windows: each LF is stored
// as CR LF, CR LF reads back as LF), else untranslated, and spool/text_file.h
// then translates to the same bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace platform {

enum class OpenMode {
  kRead,            // existing file, for reading
  kWriteTruncate,   // create or truncate, for writing
  kAppend,          // create if missing, every write at the end
  kCreateExclusive  // create, failing when the file exists
};

class File {
 public:
  File() = default;
  ~File() { Close(); }
  File(File&& other) noexcept : handle_(other.handle_), regular_(other.regular_) {
    other.handle_ = nullptr;
  }
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  // Opens `path`; is_open() tells whether it worked.
  static File Open(const char* path, OpenMode mode);
  // Opens `path` as a text file (see above).
  static File OpenText(const char* path, OpenMode mode);

  bool is_open() const { return handle_ != nullptr; }

  // Reads up to `count` bytes; returns how many were read (fewer only at the
  // end of the file or on an error).
  std::size_t Read(void* buffer, std::size_t count);
  // Reads up to `count` bytes starting `offset` bytes into the file, without
  // using or moving the position that Read and Seek work with; returns how
  // many were read (fewer only at the end of the file or on an error). Do
  // not mix with buffered Read calls on the same file.
  std::size_t ReadAt(void* buffer, std::size_t count, std::int64_t offset);
  // Next byte, or -1 at the end of the file.
  int ReadByte();
  // Writes all `count` bytes; false on an error.
  bool Write(const void* bytes, std::size_t count);
  // Size of the file in bytes, or -1 on an error. Leaves the position as is.
  std::int64_t Size();
  // Moves the position Read reads from; for files opened for reading.
  bool Seek(std::int64_t offset);
  // Flushes and closes; false if buffered data could not be written.
  bool Close();

 private:
  explicit File(std::FILE* handle, bool regular = false) : handle_(handle), regular_(regular) {}
  std::FILE* handle_ = nullptr;
  // A regular file: a read that delivers fewer bytes than asked met its end.
  bool regular_ = false;
};

// True when OpenText() files are translated by the C runtime itself.
extern const bool kRuntimeTranslatesText;

// Removes a file; false if it could not be removed (missing included).
bool RemoveFile(const char* path);

// Replaces `target` by `source` in one step, so that a reader of `target`
// finds either its old content or the new one, never a part. Both are in the
// same directory; `source` is gone afterwards. False if it failed (then
// `target` is as it was).
bool ReplaceFile(const std::string& source, const std::string& target);

// Whether the file system takes two names that differ only in letter case
// for the same file: false on POSIX, true on Windows. A name granted by a
// list is matched against a requested one accordingly.
extern const bool kFileNamesIgnoreCase;

// True when the file exists and can be opened for reading.
bool FileCanBeRead(const char* path);

namespace testing {
// Makes the `nth` File::Open from now on fail (1 = the next one), counting
// every open in the process; 0 turns the fault off. For fault-injection tests.
void FailNthFileOpen(int nth);
}  // namespace testing

}  // namespace platform
