// File names from clients and answer files, and what they select.
#include "commands/file_names.h"

#include <optional>

#include "platform/module_path.h"
#include "text/ascii.h"

namespace commands {

std::string DecodeBracketEscapes(std::string_view escaped) {
  std::string decoded;
  decoded.reserve(escaped.size());
  std::size_t at = 0;
  while (at < escaped.size()) {
    char c = escaped[at];
    std::size_t step = 1;
    if (c == '[' && escaped.size() - at >= 4 && escaped[at + 3] == ']') {
      const int high = text::HexDigitValue(escaped[at + 1]);
      const int low = text::HexDigitValue(escaped[at + 2]);
      if (high >= 0 && low >= 0) {
        c = static_cast<char>(high * 16 + low);
        step = 4;
      }
    }
    if (c == '\0') break;
    decoded.push_back(c);
    at += step;
  }
  return decoded;
}

bool NamesAFile(std::string_view first_line) {
  if (first_line.size() >= 2 && first_line[0] == '\\' && first_line[1] == '\\') return true;
  return first_line.size() >= 2 && first_line[1] == ':';
}

std::string NativeFileName(std::string_view name) {
  std::string native(name);
  for (char& c : native) {
    if (c == '\\') c = platform::kPathSeparator;
  }
  return native;
}

std::vector<std::string_view> ContentTypeHeaders(std::string_view name) {
  struct Row {
    std::string_view substring;
    std::string_view header;
  };
  static constexpr Row kRows[] = {
      {".qv", "Content-Type: application/x-qv-compressed\r\n"},
      {".doc", "Content-Type: application/msword\r\n"},
      {".pdf", "Content-Type: application/pdf\r\n"},
  };
  std::vector<std::string_view> headers;
  for (const Row& row : kRows) {
    if (name.find(row.substring) != std::string_view::npos) headers.push_back(row.header);
  }
  return headers;
}

bool LogonNamesOneFile(std::string_view logon) {
  for (const char c : logon) {
    if (c == '/' || c == '\\' || c == ':' || static_cast<unsigned char>(c) < 0x20) return false;
  }
  return true;
}

}  // namespace commands
