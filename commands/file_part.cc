// Offsets and lengths of file parts, read and fitted as clients expect.
#include "commands/file_part.h"

#include <limits>

namespace commands {

std::int32_t LongAtStart(std::string_view text) {
  std::size_t at = 0;
  while (at < text.size() && (text[at] == ' ' || (text[at] >= '\t' && text[at] <= '\r'))) ++at;
  bool negative = false;
  if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
    negative = text[at] == '-';
    ++at;
  }
  // Accumulate the magnitude, stopping at the first value past the limits.
  constexpr std::int64_t kMax = std::numeric_limits<std::int32_t>::max();
  constexpr std::int64_t kMin = std::numeric_limits<std::int32_t>::min();
  std::int64_t magnitude = 0;
  for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
    magnitude = magnitude * 10 + (text[at] - '0');
    if (magnitude > kMax + 1) magnitude = kMax + 1;
  }
  const std::int64_t value = negative ? -magnitude : magnitude;
  if (value > kMax) return static_cast<std::int32_t>(kMax);
  if (value < kMin) return static_cast<std::int32_t>(kMin);
  return static_cast<std::int32_t>(value);
}

FilePart PartFromTexts(std::string_view offset_text, std::string_view length_text) {
  const std::int32_t length = LongAtStart(length_text);
  FilePart part;
  part.offset = static_cast<std::uint32_t>(LongAtStart(offset_text));
  part.length = static_cast<std::uint32_t>(length);
  part.length_text_negative = length < 0;
  return part;
}

FilePart ClampToFile(FilePart part, std::uint64_t size) {
  if (std::uint64_t{part.offset} + part.length > size) {
    if (part.offset > size) {
      part.offset = 0;
      part.length = 0;
    } else {
      part.length = static_cast<std::uint32_t>(size - part.offset);
    }
  }
  return part;
}

}  // namespace commands
