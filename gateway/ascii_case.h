// Comparison of names ignoring the case of ASCII letters, as command names,
// parameter names, methods and rights-list entries are compared. Other bytes
// (ISO-8859-1 letters included) must match exactly, whatever the locale.
#pragma once

#include <string_view>

namespace gateway {

constexpr char AsciiLower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

constexpr bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  }
  return true;
}

}  // namespace gateway
