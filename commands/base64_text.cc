// Base64 of file parts for "getfile", in the shape its clients decode.
#include "commands/base64_text.h"

#include <array>
#include <cstdint>

namespace commands {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

}  // namespace

std::string EncodeGetfileText(std::span<const unsigned char> bytes) {
  std::string text;
  AppendGetfileText(bytes, text);
  return text;
}

void AppendGetfileText(std::span<const unsigned char> bytes, std::string& text) {
  const std::size_t groups = (bytes.size() + 2) / 3;
  text.reserve(text.size() + groups * 4 + (groups / kGroupsPerLine) * 2);
  for (std::size_t group = 0; group < groups; ++group) {
    // The bytes past the end of the part count as zero bytes.
    std::array<std::uint32_t, 3> in{};
    for (std::size_t i = 0; i < 3; ++i) {
      const std::size_t at = group * 3 + i;
      in[i] = at < bytes.size() ? bytes[at] : 0U;
    }
    const std::uint32_t triple = (in[0] << 16) | (in[1] << 8) | in[2];
    text.push_back(kAlphabet[(triple >> 18) & 0x3F]);
    text.push_back(kAlphabet[(triple >> 12) & 0x3F]);
    text.push_back(kAlphabet[(triple >> 6) & 0x3F]);
    text.push_back(kAlphabet[triple & 0x3F]);
    if ((group + 1) % kGroupsPerLine == 0) text += "\r\n";
  }
}

}  // namespace commands
