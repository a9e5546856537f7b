// The part of a file that "getfile" and "getfiledata" deliver: offset and
// length as clients write them, and how a part is fitted to the file.
#pragma once

#include <cstdint>
#include <string_view>

namespace commands {

// The number at the start of `text` as the runtime's text-to-long conversion
// of a 32-bit long reads it: leading blanks, an optional sign, digits; 0 when
// there are none; out-of-range values stick at the long's limits.
std::int32_t LongAtStart(std::string_view text);

// A part as clients ask for it. Offset and length are the texts' numbers
// taken as unsigned 32-bit values, so a negative text counts as very large.
struct FilePart {
  std::uint32_t offset = 0;
  std::uint32_t length = 0;
  bool length_text_negative = false;  // the length came from a negative text
};

FilePart PartFromTexts(std::string_view offset_text, std::string_view length_text);

// Fits a part to a file of `size` bytes (compared without wrap-around): a
// part that starts past the end becomes empty at offset 0; one that runs past
// the end is cut at the end.
FilePart ClampToFile(FilePart part, std::uint64_t size);

}  // namespace commands
