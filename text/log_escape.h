// The one escape of text for log lines, the form of the combined log
// format's quoted fields: a quote or backslash gets a backslash before it,
// and every byte outside printable ASCII is written as \xHH, so text a
// client sent can neither break a line nor end a quoted field early. The
// angle brackets are written \x3C and \x3E too, so that a log shown in a
// browser carries no markup. The rest of printable ASCII, '%' included, is
// kept: a URL, with its own %XX escapes, reads in the log as it was sent.
#pragma once

#include <string>
#include <string_view>

#include "text/percent_encoding.h"

namespace text {

inline void AppendEscapedForLog(std::string& out, std::string_view text) {
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out.push_back('\\');
      out.push_back(c);
    } else if (byte < 0x20 || byte >= 0x7F || c == '<' || c == '>') {
      out.append("\\x");
      AppendHexByte(out, byte);
    } else {
      out.push_back(c);
    }
  }
}

inline std::string EscapedForLog(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  AppendEscapedForLog(out, text);
  return out;
}

}  // namespace text
