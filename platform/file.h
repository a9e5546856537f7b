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

// ---- Stamps of files: what a reader that keeps a file's text in memory
// compares, to know that the file is still the one it read. ----

namespace platform {

// A file as stat() describes it. Any change of a file's data, size or name
// moves its change time; a file made anew is another inode.
struct FileStamp {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::int64_t size = 0;
  std::int64_t modified_ns = 0;  // nanoseconds since 1970, system clock
  std::int64_t changed_ns = 0;
  bool regular = false;  // a plain file (else a pipe, device or socket)

  bool operator==(const FileStamp&) const = default;
};

// True where stamps tell every change of a file (POSIX). Windows reports no
// inode or change time through these calls: there, nothing is kept.
extern const bool kFileStampsTellChanges;

// The stamp of whatever is at `path`; false when nothing (or a directory)
// is there, or stat() failed, with `*error` (when given) telling why. Not
// counted by testing::FailNthFileOpen: a caller opens the file when the
// stamp does not settle the question.
[[nodiscard]] bool StampOfFile(const char* path, FileStamp& stamp, SystemError* error = nullptr);

// FileExists, also giving the stamp of what it found; counted by
// testing::FailNthFileOpen as FileExists is (a failed call finds nothing).
[[nodiscard]] bool FileExistsStamped(const char* path, FileStamp& stamp);

// The system clock that file times are taken from, in nanoseconds since 1970.
std::int64_t FileClockNanoseconds();

// Whether the file system holding `path` answers stat() from its own disk
// (kLocal), or may answer from a client's cache of another machine's files
// (kShared: network and cluster file systems, and any type not known to be
// local). Asked of the system at every call.
enum class FileSystemSharing { kLocal, kShared };
FileSystemSharing SharingOfFileSystem(const char* path);
// The same for a file system type number as statfs() reports it (Linux).
FileSystemSharing SharingOfFileSystemType(std::uint64_t type);

// The environment variable by which an operator declares the spool shared
// with other machines ("1"): every request then reads its files afresh.
inline constexpr const char* kSharedSpoolVariable = "DUDAROVUVADU_SHARED_SPOOL";
// True when the variable is set to anything but "" or "0"; read at every call.
bool SpoolDeclaredShared();

// How a removal ended: the file was removed, was not there, or stays.
enum class Removal { kRemoved, kAbsent, kFailed };
// RemoveFile, telling apart a file that was already gone.
[[nodiscard]] Removal RemoveFileTelling(const char* path);

}  // namespace platform
