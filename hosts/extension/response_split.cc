// Reading an extension's output stream as header lines and body; see
// response_split.h for the rules every host relies on.
#include "hosts/extension/response_split.h"

#include <cstdint>

#include "text/ascii.h"

namespace hosts {

using text::EqualsIgnoringAsciiCase;

namespace {

// Field values may hold visible ASCII, blanks and ISO-8859-1 letters, but no
// control character: a CR, LF or NUL inside a value would let the extension's
// text split or end the header block on the wire.
bool IsValueChar(unsigned char c) { return c == '\t' || (c >= 0x20 && c != 0x7F); }

std::optional<ResponseHeader> ParseHeaderLine(std::string_view line) {
  const std::size_t colon = line.find(':');
  if (colon == std::string_view::npos || colon == 0) return std::nullopt;
  for (std::size_t i = 0; i < colon; ++i) {
    if (!text::IsTokenChar(line[i])) return std::nullopt;  // header names are tokens
  }
  const std::string_view value = text::TrimBlanks(line.substr(colon + 1));
  for (char c : value) {
    if (!IsValueChar(static_cast<unsigned char>(c))) return std::nullopt;
  }
  return ResponseHeader{line.substr(0, colon), value};
}

}  // namespace

SplitResponse SplitResponseStream(std::string_view stream) {
  SplitResponse result;
  std::vector<ResponseHeader> lines;
  std::size_t position = 0;
  while (position < stream.size()) {
    const std::size_t newline = stream.find('\n', position);
    const std::size_t next = newline == std::string_view::npos ? stream.size() : newline + 1;
    std::string_view line = stream.substr(position, next - position);
    if (!line.empty() && line.back() == '\n') line.remove_suffix(1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty()) {
      position = next;
      break;
    }
    std::optional<ResponseHeader> header = ParseHeaderLine(line);
    if (!header) break;  // the body starts with this line
    lines.push_back(*header);
    position = next;
  }
  result.body_offset = position;
  const std::uint64_t body_length = stream.size() - position;
  bool lengths_seen = false;
  bool lengths_conflict = false;
  for (const ResponseHeader& header : lines) {
    if (EqualsIgnoringAsciiCase(header.name, "Content-Length")) {
      if (result.declared_length_text.empty()) result.declared_length_text = header.value;
      const std::optional<std::uint64_t> declared = text::ParsePlainDecimal(header.value);
      if (declared != body_length) result.content_length_mismatch = true;
      // Two that disagree declare nothing.
      if (!declared || (lengths_seen && result.declared_length != declared)) {
        lengths_conflict = true;
      }
      lengths_seen = true;
      result.declared_length = declared;
      continue;
    }
    if (EqualsIgnoringAsciiCase(header.name, "Transfer-Encoding")) continue;
    result.headers.push_back(header);
  }
  if (lengths_conflict) result.declared_length.reset();
  return result;
}

std::optional<HeaderBlockEnd> FindHeaderBlockEnd(std::string_view stream) {
  std::size_t position = 0;
  for (;;) {
    const std::size_t newline = stream.find('\n', position);
    if (newline == std::string_view::npos) return std::nullopt;  // the line is not whole yet
    std::string_view line = stream.substr(position, newline - position);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty()) return HeaderBlockEnd{newline + 1, true};
    if (!ParseHeaderLine(line)) return HeaderBlockEnd{position, false};
    position = newline + 1;
  }
}

std::optional<unsigned> ParseStatusCode(std::string_view status_line) {
  if (status_line.size() < 3) return std::nullopt;
  unsigned code = 0;
  for (std::size_t i = 0; i < 3; ++i) {
    const char c = status_line[i];
    if (c < '0' || c > '9') return std::nullopt;
    code = code * 10 + static_cast<unsigned>(c - '0');
  }
  if (status_line.size() > 3 && !text::IsBlank(status_line[3])) return std::nullopt;
  if (code < 100) return std::nullopt;
  return code;
}

}  // namespace hosts
