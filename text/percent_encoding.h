// Escapes that write a byte as two upper-case hexadecimal digits: "%XX" in
// URLs and log lines. What a caller keeps as it is differs; the escape
// does not.
#pragma once

#include <string>
#include <string_view>

namespace text {

inline void AppendHexByte(std::string& out, unsigned char byte) {
  constexpr char kHexDigits[] = "0123456789ABCDEF";
  out.push_back(kHexDigits[byte >> 4]);
  out.push_back(kHexDigits[byte & 0x0F]);
}

// `text` with every byte for which `keep(byte)` is false written as "%XX".
template <class KeepByte>
std::string PercentEncode(std::string_view text, KeepByte keep) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (keep(byte)) {
      out.push_back(c);
    } else {
      out.push_back('%');
      AppendHexByte(out, byte);
    }
  }
  return out;
}

}  // namespace text
