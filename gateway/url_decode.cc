// In-place URL decoding of argument texts.
#include "gateway/url_decode.h"

#include "text/ascii.h"

namespace gateway {

using text::HexDigitValue;

char* UrlDecode(char* text) {
  if (text == nullptr) return text;
  char* in = text;
  char* out = text;
  while (*in != '\0') {
    if (*in == '+') {
      *out++ = ' ';
      ++in;
    } else if (*in == '%') {
      // Fewer than two bytes after "%": "?" and the text ends.
      if (in[1] == '\0' || in[2] == '\0') {
        *out++ = '?';
        break;
      }
      const int high = HexDigitValue(in[1]);
      if (high < 0) {
        // "%" and a byte that is no digit: "?", the byte is dropped.
        *out++ = '?';
        in += 2;
        continue;
      }
      const int low = HexDigitValue(in[2]);
      if (low < 0) {
        // One digit, then a byte that is none: "?", both dropped.
        *out++ = '?';
        in += 3;
        continue;
      }
      *out++ = static_cast<char>(high * 16 + low);
      in += 3;
    } else {
      *out++ = *in++;
    }
  }
  *out = '\0';
  return text;
}

}  // namespace gateway
