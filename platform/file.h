// Files, the only way the module touches the disk. Every file is opened and
// closed within one operation; File closes itself when it goes out of scope.
// Open() gives untranslated bytes. OpenText() opens a spool text file: in the
// C runtime's text mode where the runtime has one (Windows: each LF is stored
// as CR LF, CR LF reads back as LF), else untranslated, and spool/text_file.h
// then translates to the same bytes. A failure keeps its cause (error()) and
// is recorded in the trace with the path it concerns.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

#include "platform/system_error.h"

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
  ~File() { (void)Close(); }
  File(File&& other) noexcept;
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  // Opens `path`; is_open() tells whether it worked, error() why not. Nothing
  // waits on a special file: for reading only a regular file is taken (a
  // directory, pipe, device or socket is refused, cause kNotRegularFile);
  // for writing anything but a directory, a pipe only while it has a reader.
  static File Open(const char* path, OpenMode mode);
  // Opens `path` as a text file (see above).
  static File OpenText(const char* path, OpenMode mode);

  bool is_open() const { return descriptor_ >= 0; }
  // The size in bytes the file had when it was opened for reading (-1 when
  // not opened for reading): a reader can ask for all of it in one read.
  std::int64_t size_at_open() const { return size_at_open_; }
  // The last failure on this file: why Open failed, or which later call did.
  const SystemError& error() const { return error_; }

  // Reads up to `count` bytes; returns how many were read (fewer only at the
  // end of the file or on an error). Every read asks the file as it is now:
  // bytes appended after an earlier read met the end are read.
  std::size_t Read(void* buffer, std::size_t count);
  // Reads up to `count` bytes starting `offset` bytes into the file, without
  // using or moving the position that Read and Seek work with; returns how
  // many were read (fewer only at the end of the file or on an error). For
  // files opened with Open (untranslated).
  std::size_t ReadAt(void* buffer, std::size_t count, std::int64_t offset);
  // Writes all `count` bytes; false on an error.
  bool Write(const void* bytes, std::size_t count);
  // Size of the file in bytes as it is now, or -1 on an error. Leaves the
  // position as is.
  std::int64_t Size();
  // Moves the position Read reads from; for files opened for reading.
  bool Seek(std::int64_t offset);
  // Closes; false if the system reported an error (data not written).
  bool Close();

 private:
  File(int descriptor, std::string path, std::int64_t size_at_open = -1)
      : descriptor_(descriptor), size_at_open_(size_at_open), path_(std::move(path)) {}
  // Open and OpenText: `text` asks for the runtime's text mode.
  static File OpenAs(const char* path, OpenMode mode, bool text);
  static File Failed(const SystemError& error, const char* path);
  // Records a failure of `call` on this file, in error() and the trace.
  void Fail(const char* call);

  // The system's descriptor (the C runtime's on Windows); -1 when closed.
  int descriptor_ = -1;
  // A read has met the end: the Windows runtime then answers every read
  // with nothing until the position is set again.
  bool met_end_ = false;
  std::int64_t size_at_open_ = -1;
  SystemError error_;
  // For the trace of a failure after the open.
  std::string path_;
};

// True when OpenText() files are translated by the C runtime itself.
extern const bool kRuntimeTranslatesText;

// Removes a file; false if it could not be removed (missing included). A
// file that was already gone is not traced as a failure.
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

// True when something other than a directory exists at `path`, asked of the
// file system without opening it (stat): the spool's flags and locks are
// files whose presence is their meaning.
bool FileExists(const char* path);

namespace testing {
// Makes the `nth` File::Open or FileExists from now on fail (1 = the next
// one; a failed FileExists finds nothing), counting every such call in the
// process; 0 turns the fault off. For fault-injection tests.
void FailNthFileOpen(int nth);
}  // namespace testing

}  // namespace platform
