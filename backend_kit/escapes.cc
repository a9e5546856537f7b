// HTML, URL and bracket escapes.

#include "backend_kit/escapes.h"

#include <algorithm>

#include "text/ascii.h"
#include "text/percent_encoding.h"

namespace backend_kit {

namespace {

using text::AppendHexByte;
using text::HexDigitValue;

bool IsAsciiAlnum(unsigned char byte) {
  return (byte >= '0' && byte <= '9') || (byte >= 'a' && byte <= 'z') ||
         (byte >= 'A' && byte <= 'Z');
}

bool KeptInUrls(unsigned char byte) {
  return IsAsciiAlnum(byte) || byte == '-' || byte == '.' || byte == '_' || byte == '~' ||
         byte == '/' || byte == '[' || byte == ']';
}

}  // namespace

std::string HtmlEscape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out.push_back(c);
    }
  }
  return out;
}

std::string UrlEncode(std::string_view plain) { return text::PercentEncode(plain, KeptInUrls); }

std::string BracketEscape(std::string_view name) {
  std::string out;
  out.reserve(name.size());
  for (char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if (IsAsciiAlnum(byte) || c == '-' || c == '.' || c == '_' || c == '/' || c == '~' ||
        c == ',' || c == ':') {
      out.push_back(c);
    } else {
      out.push_back('[');
      AppendHexByte(out, byte);
      out.push_back(']');
    }
  }
  return out;
}

std::string BracketDecode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '[' && i + 3 < text.size() && text[i + 3] == ']') {
      const int high = HexDigitValue(text[i + 1]);
      const int low = HexDigitValue(text[i + 2]);
      if (high >= 0 && low >= 0) {
        out.push_back(static_cast<char>(high * 16 + low));
        i += 3;
        continue;
      }
    }
    out.push_back(text[i]);
  }
  return out;
}

bool HasControlBytes(std::string_view text) {
  return std::any_of(text.begin(), text.end(), [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte < 0x20 || byte == 0x7F;
  });
}

}  // namespace backend_kit
