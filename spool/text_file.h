// Spool text files. They keep the bytes of the Windows runtime's text mode on
// every platform, so the back-end sees the same files wherever the module
// runs: each LF written is stored as CR LF, and CR LF read back is LF (a lone
// CR stays). Files are opened and closed within one operation.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/file.h"

namespace spool {

// Capacity of a line buffer, terminator included: a read takes at most 1023
// characters.
inline constexpr std::size_t kLineCapacity = 1024;

// The largest read of a text file: a file is read whole when it is smaller,
// else in blocks of this size.
inline constexpr std::size_t kReadBlockSize = 64 * 1024;

class TextFileReader {
 public:
  explicit TextFileReader(const std::string& path);
  // Reads `text` as if a TextFileWriter had written it to a file and this
  // reader had opened that file: a page built in memory reads back exactly as
  // the same page from the spool.
  static TextFileReader FromText(std::string_view text);
  bool is_open() const { return file_.is_open() || memory_.has_value(); }
  // Why the file could not be opened (or a later read failed).
  const platform::SystemError& error() const { return file_.error(); }

  // Reads the next line as the runtime's line read does: characters up to and
  // including the first LF, at most `max_chars` of them (after CR LF became
  // LF). Returns false, with `line` empty, when nothing was left to read.
  bool ReadLine(std::string& line, std::size_t max_chars = kLineCapacity - 1);

  // True once a read has met the end of the file.
  bool AtEnd() const { return at_end_; }

  void Close() {
    file_.Close();
    memory_.reset();
  }

 private:
  TextFileReader() = default;
  // Refills the buffer; false at the end of the file.
  bool Fill();
  // The bytes Fill gave: the text of a reader over text, else the buffer.
  const char* Data() const { return memory_ ? memory_->data() : buffer_.get(); }
  platform::File file_;
  // The bytes of a reader over text, and whether Fill has taken them.
  std::optional<std::string> memory_;
  bool memory_taken_ = false;
  // The file is read into a buffer the size it had when opened (bounded),
  // so that most files take one read. Bytes not yet handed out: [begin_,
  // end_) of Data().
  std::unique_ptr<char[]> buffer_;
  std::size_t buffer_size_ = 0;
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
  bool at_end_ = false;
  bool file_ended_ = false;  // the last read gave less than a block
};

class TextFileWriter {
 public:
  // kWriteTruncate, kAppend or kCreateExclusive.
  TextFileWriter(const std::string& path, platform::OpenMode mode);
  bool is_open() const { return file_.is_open(); }

  // Writes `text`, each LF as CR LF. False on an error.
  bool Write(std::string_view text);
  // Flushes and closes; false if the data could not be written.
  bool Close() { return file_.Close(); }

 private:
  platform::File file_;
};

// The text of a file read whole: held in the object itself when it is small
// (a pointer file, a wait page), else in one block of the file's size.
class TextFileContents {
 public:
  TextFileContents() = default;
  TextFileContents(const TextFileContents&) = delete;
  TextFileContents& operator=(const TextFileContents&) = delete;

  std::string_view text() const { return {data_, size_}; }

 private:
  friend bool ReadTextFile(const std::string& path, TextFileContents& contents,
                           std::size_t max_bytes, platform::SystemError* error);
  // Room for `count` bytes, not initialised.
  char* Room(std::size_t count);

  static constexpr std::size_t kSmallBytes = 1024;
  char small_[kSmallBytes];
  std::unique_ptr<char[]> large_;
  char* data_ = small_;
  std::size_t size_ = 0;
};

// Reads the whole text file at `path` into `contents` as TextFileReader
// would hand it out (CR LF back to LF), with one read of the size the file
// had when it was opened, at most `max_bytes` of it as stored. False when the
// file cannot be opened or read, with `contents` empty and `*error` (when
// given) telling why.
bool ReadTextFile(const std::string& path, TextFileContents& contents, std::size_t max_bytes,
                  platform::SystemError* error = nullptr);

// The first line of `text` as ReadLine gives it: up to and including the
// first LF, at most `max_chars` characters.
std::string_view FirstLine(std::string_view text, std::size_t max_chars = kLineCapacity - 1);

// Removes the trailing line end of a line read, in the four steps the spool
// uses: a final LF, then CR, then LF, then CR, each only while the text is at
// least `min_length` characters long (2 for pointer files, answer lines and
// rights lists; 1 for the lock file).
void CutLineEnd(std::string& line, std::size_t min_length = 2);

}  // namespace spool
