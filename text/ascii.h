// ASCII letters and digits as names, lengths and escapes use them: letter
// case is ignored for A-Z only, and a digit is 0-9 (or a-f, A-F in
// hexadecimal). Other bytes (ISO-8859-1 letters included) are never letters
// or digits here, whatever the locale. Depends on nothing of the project, so
// every folder may use it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace text {

constexpr char AsciiLower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

constexpr bool IsAsciiDigit(char c) { return c >= '0' && c <= '9'; }
constexpr bool IsAsciiAlpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// A token character of HTTP (RFC 9110 tchar): header names, methods and
// the names and bare values of Forwarded pairs are made of these.
constexpr bool IsTokenChar(char c) {
  if (IsAsciiAlpha(c) || IsAsciiDigit(c)) return true;
  for (const char allowed : std::string_view("!#$%&'*+-.^_`|~")) {
    if (c == allowed) return true;
  }
  return false;
}

constexpr bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// The text without the spaces and tabs around it (HTTP's optional blanks).
constexpr std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

// Command names, parameter names, methods, header and variable names and
// rights-list entries are compared this way.
constexpr bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  }
  return true;
}

constexpr bool StartsWithIgnoringAsciiCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() &&
         EqualsIgnoringAsciiCase(text.substr(0, prefix.size()), prefix);
}

// The value of a hexadecimal digit, or -1 for any other byte.
constexpr int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A field that is a decimal number and nothing else: one to `max_digits`
// digits, no sign, no blank (a length or a port as a protocol writes it).
// 19 digits always fit in 64 bits.
constexpr std::optional<std::uint64_t> ParsePlainDecimal(std::string_view digits,
                                                         std::size_t max_digits = 19) {
  if (digits.empty() || digits.size() > max_digits || max_digits > 19) return std::nullopt;
  std::uint64_t value = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
  }
  return value;
}

// The number at the start of a text, read as strtol reads it: blanks
// (space, tab to carriage return), an optional sign, then the digits up to
// the first other byte. No digit reads as 0. The magnitude stops growing at
// the largest 64-bit value, so every caller can clamp it to its own range.
struct LeadingDecimal {
  bool negative = false;
  std::uint64_t magnitude = 0;
};

constexpr LeadingDecimal ReadLeadingDecimal(std::string_view text) {
  constexpr std::uint64_t kLargest = ~std::uint64_t{0};
  std::size_t at = 0;
  while (at < text.size() && (text[at] == ' ' || (text[at] >= '\t' && text[at] <= '\r'))) ++at;
  LeadingDecimal number;
  if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
    number.negative = text[at] == '-';
    ++at;
  }
  for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
    const auto digit = static_cast<std::uint64_t>(text[at] - '0');
    number.magnitude =
        number.magnitude > (kLargest - digit) / 10 ? kLargest : number.magnitude * 10 + digit;
  }
  return number;
}

}  // namespace text
