// Spool text files with the Windows runtime's text-mode bytes on every
// platform: LF is stored as CR LF, CR LF reads back as LF, a lone CR stays.
// The back-end therefore sees the same bytes whichever system runs the module.
#include "spool/text_file.h"

#include <string>

namespace spool {

TextFileReader::TextFileReader(const std::string& path)
    : file_(platform::File::Open(path.c_str(), platform::OpenMode::kRead)) {}

int TextFileReader::NextByte() {
  int byte;
  if (pending_ >= 0) {
    byte = pending_;
    pending_ = -1;
  } else {
    byte = file_.ReadByte();
  }
  if (byte != '\r') return byte;
  // A CR is only a line end together with the LF after it; otherwise the
  // byte after it is kept for the next read.
  const int next = file_.ReadByte();
  if (next == '\n') return '\n';
  if (next >= 0) pending_ = next;
  return '\r';
}

bool TextFileReader::ReadLine(std::string& line, std::size_t max_chars) {
  line.clear();
  if (!file_.is_open()) {
    at_end_ = true;
    return false;
  }
  while (line.size() < max_chars) {
    const int byte = NextByte();
    if (byte < 0) {
      at_end_ = true;
      break;
    }
    line.push_back(static_cast<char>(byte));
    if (byte == '\n') break;
  }
  return !line.empty();
}

TextFileWriter::TextFileWriter(const std::string& path, platform::OpenMode mode)
    : file_(platform::File::Open(path.c_str(), mode)) {}

bool TextFileWriter::Write(std::string_view text) {
  if (!file_.is_open()) return false;
  std::string stored;
  stored.reserve(text.size() + text.size() / 16 + 2);
  for (const char c : text) {
    if (c == '\n') stored.push_back('\r');
    stored.push_back(c);
  }
  return file_.Write(stored.data(), stored.size());
}

void CutLineEnd(std::string& line, std::size_t min_length) {
  static constexpr char kSteps[] = {'\n', '\r', '\n', '\r'};
  for (const char end : kSteps) {
    if (line.size() >= min_length && !line.empty() && line.back() == end) line.pop_back();
  }
}

}  // namespace spool
