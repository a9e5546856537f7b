// File names from clients and answer files, and what they select.
#include "commands/file_names.h"

#include <optional>

#include "platform/module_path.h"
#include "text/ascii.h"

namespace commands {

namespace {

// True when Windows opens a file of this name as a device: the part before
// the first dot, blanks at its end dropped, is a device name in any letter
// case ("con", "Nul.txt", "COM1 .log", "lpt\xB9" with a superscript one).
bool NamesWindowsDevice(std::string_view name) {
  std::string_view stem = name.substr(0, name.find('.'));
  while (!stem.empty() && stem.back() == ' ') stem.remove_suffix(1);
  for (const std::string_view device : {"con", "prn", "aux", "nul", "conin$", "conout$"}) {
    if (text::EqualsIgnoringAsciiCase(stem, device)) return true;
  }
  if (stem.size() != 4) return false;
  const std::string_view prefix = stem.substr(0, 3);
  if (!text::EqualsIgnoringAsciiCase(prefix, "com") &&
      !text::EqualsIgnoringAsciiCase(prefix, "lpt")) {
    return false;
  }
  // A digit, or the ISO-8859-1 superscripts one, two and three.
  const char number = stem[3];
  return (number >= '0' && number <= '9') || number == '\xB9' || number == '\xB2' ||
         number == '\xB3';
}

}  // namespace

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
  // Windows drops a final dot or blank from a file name: "anna." and "anna"
  // would name one file.
  if (!logon.empty() && (logon.back() == '.' || logon.back() == ' ')) return false;
  return !NamesWindowsDevice(logon);
}

}  // namespace commands
