// The encoded text of "getfile": clients decode it with their own routine, so
// its shape is fixed here, padding and line breaks included.
#pragma once

#include <cstddef>
#include <span>
#include <string>

namespace commands {

// Groups of three bytes per encoded line before "\r\n" is written.
inline constexpr std::size_t kGroupsPerLine = 20;

// Base64 (RFC 4648 alphabet) of `bytes`, with no "=" padding: a last group of
// one or two bytes is completed with zero bytes and encoded in full, so the
// text always has 4 * ceil(n / 3) characters besides line ends. "\r\n" follows
// every 20th group, so the text ends with it only when the group count is a
// multiple of 20.
std::string EncodeGetfileText(std::span<const unsigned char> bytes);

// Appends the text of `bytes` to `text`, as EncodeGetfileText gives it. A
// part encoded piece by piece, each piece but the last a whole number of
// lines (kGetfileLineBytes each), gives the text of the whole part.
void AppendGetfileText(std::span<const unsigned char> bytes, std::string& text);

// Bytes that make one line of text: the line breaks fall where they fall.
inline constexpr std::size_t kGetfileLineBytes = kGroupsPerLine * 3;
// Characters of such a line, its "\r\n" included.
inline constexpr std::size_t kGetfileLineChars = kGroupsPerLine * 4 + 2;

}  // namespace commands
