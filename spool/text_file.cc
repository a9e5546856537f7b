// Spool text files with the Windows runtime's text-mode bytes on every
// platform: LF is stored as CR LF, CR LF reads back as LF, a lone CR stays.
// The back-end therefore sees the same bytes whichever system runs the module.
#include "spool/text_file.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

namespace spool {

TextFileReader::TextFileReader(const std::string& path)
    : file_(platform::File::OpenText(path.c_str(), platform::OpenMode::kRead)) {}

namespace {

// The bytes a text file holds for `text`: each LF as CR LF.
std::string StoredBytes(std::string_view text) {
  std::string stored;
  stored.reserve(text.size() + text.size() / 16 + 2);
  for (const char c : text) {
    if (c == '\n') stored.push_back('\r');
    stored.push_back(c);
  }
  return stored;
}

}  // namespace

TextFileReader TextFileReader::FromText(std::string_view text) {
  TextFileReader reader;
  // As the file holding `text` would read back: where the runtime
  // translates, it hands back exactly what was written.
  reader.memory_ = platform::kRuntimeTranslatesText ? std::string(text) : StoredBytes(text);
  return reader;
}

bool TextFileReader::Fill() {
  begin_ = 0;
  if (memory_) {
    end_ = memory_taken_ ? 0 : memory_->size();
    memory_taken_ = true;
    return end_ > 0;
  }
  if (!buffer_) {
    // One byte more than the file held: a read that fills the buffer tells
    // that the file has grown since, and the next read goes on.
    const std::int64_t size = file_.size_at_open();
    const auto largest = static_cast<std::int64_t>(kReadBlockSize) - 1;
    buffer_size_ =
        size < 0 ? kReadBlockSize : static_cast<std::size_t>(std::min(size, largest)) + 1;
    buffer_ = std::make_unique_for_overwrite<char[]>(buffer_size_);
  }
  // A read that gave less than the buffer met the end of the file: the file
  // is read as it was then, without a further read that would give nothing.
  end_ = file_ended_ ? 0 : file_.Read(buffer_.get(), buffer_size_);
  file_ended_ = end_ < buffer_size_;
  return end_ > 0;
}

bool TextFileReader::ReadLine(std::string& line, std::size_t max_chars) {
  line.clear();
  if (!is_open()) {
    at_end_ = true;
    return false;
  }
  while (line.size() < max_chars) {
    if (begin_ == end_ && !Fill()) {
      at_end_ = true;
      break;
    }
    // A run of ordinary bytes, up to a CR or LF or the room left in the line.
    const char* run = Data() + begin_;
    const std::size_t limit = std::min(end_ - begin_, max_chars - line.size());
    std::size_t length = limit;
    if (const void* lf = std::memchr(run, '\n', length)) {
      length = static_cast<std::size_t>(static_cast<const char*>(lf) - run);
    }
    if (const void* cr = std::memchr(run, '\r', length)) {
      length = static_cast<std::size_t>(static_cast<const char*>(cr) - run);
    }
    line.append(run, length);
    begin_ += length;
    if (length == limit) continue;
    const char end_byte = Data()[begin_++];
    if (end_byte == '\n') {
      line.push_back('\n');
      break;
    }
    // Where the runtime translates, CR LF has already become LF and a CR
    // left is text. Otherwise a CR is a line end only together with the LF
    // after it; else it stays, and the byte after it is read next.
    if (platform::kRuntimeTranslatesText) {
      line.push_back('\r');
      continue;
    }
    if (begin_ == end_ && !Fill()) {
      line.push_back('\r');
      at_end_ = true;
      break;
    }
    if (Data()[begin_] == '\n') {
      ++begin_;
      line.push_back('\n');
      break;
    }
    line.push_back('\r');
  }
  return !line.empty();
}

TextFileWriter::TextFileWriter(const std::string& path, platform::OpenMode mode)
    : file_(platform::File::OpenText(path.c_str(), mode)) {}

bool TextFileWriter::Write(std::string_view text) {
  if (!file_.is_open()) return false;
  if (platform::kRuntimeTranslatesText) return file_.Write(text.data(), text.size());
  const std::string stored = StoredBytes(text);
  return file_.Write(stored.data(), stored.size());
}

namespace {

// Stored bytes read back: each CR LF becomes LF, in place; a lone CR stays.
// The runs between CRs move as blocks. Returns the new size.
std::size_t ReadBackLineEnds(char* data, std::size_t size) {
  const void* first_cr = std::memchr(data, '\r', size);
  if (first_cr == nullptr) return size;
  std::size_t out = static_cast<std::size_t>(static_cast<const char*>(first_cr) - data);
  std::size_t in = out;
  while (in < size) {
    // data[in] is a CR: dropped before an LF, else kept.
    if (in + 1 < size && data[in + 1] == '\n') {
      ++in;
    } else {
      data[out++] = data[in++];
    }
    const void* next_cr = std::memchr(data + in, '\r', size - in);
    const std::size_t end =
        next_cr == nullptr ? size
                           : static_cast<std::size_t>(static_cast<const char*>(next_cr) - data);
    std::memmove(data + out, data + in, end - in);
    out += end - in;
    in = end;
  }
  return out;
}

}  // namespace

char* TextFileContents::Room(std::size_t count) {
  if (count <= kSmallBytes) return data_ = small_;
  large_ = std::make_unique_for_overwrite<char[]>(count);
  return data_ = large_.get();
}

bool ReadTextFile(const std::string& path, TextFileContents& contents, std::size_t max_bytes,
                  platform::SystemError* error) {
  contents.size_ = 0;
  platform::File file = platform::File::OpenText(path.c_str(), platform::OpenMode::kRead);
  if (file.is_open()) {
    // Only regular files are opened for reading: they have a size.
    const std::int64_t size = file.size_at_open();
    const std::size_t want = size <= 0 ? 0
                                       : static_cast<std::size_t>(std::min<std::uint64_t>(
                                             static_cast<std::uint64_t>(size), max_bytes));
    char* const room = contents.Room(want);
    const std::size_t got = want == 0 ? 0 : file.Read(room, want);
    if (!file.error().failed()) {
      contents.size_ = platform::kRuntimeTranslatesText ? got : ReadBackLineEnds(room, got);
      return true;
    }
  }
  if (error != nullptr) *error = file.error();
  return false;
}

std::string_view FirstLine(std::string_view text, std::size_t max_chars) {
  const std::size_t lf = text.find('\n');
  const std::size_t length = lf == std::string_view::npos ? text.size() : lf + 1;
  return text.substr(0, std::min(length, max_chars));
}

void CutLineEnd(std::string& line, std::size_t min_length) {
  static constexpr char kSteps[] = {'\n', '\r', '\n', '\r'};
  for (const char end : kSteps) {
    if (line.size() >= min_length && !line.empty() && line.back() == end) line.pop_back();
  }
}

}  // namespace spool
