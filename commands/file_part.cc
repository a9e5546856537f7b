// Offsets and lengths of file parts, read and fitted as clients expect.
#include "commands/file_part.h"

#include <algorithm>
#include <limits>

#include "text/ascii.h"

namespace commands {

using text::LeadingDecimal;
using text::ReadLeadingDecimal;

std::int32_t LongAtStart(std::string_view text) {
  const LeadingDecimal number = ReadLeadingDecimal(text);
  // Past the limits the value stops at the nearer one.
  constexpr std::uint64_t kMax = std::numeric_limits<std::int32_t>::max();
  if (number.negative) {
    if (number.magnitude > kMax) return std::numeric_limits<std::int32_t>::min();
    return -static_cast<std::int32_t>(number.magnitude);
  }
  return static_cast<std::int32_t>(std::min(number.magnitude, kMax));
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
