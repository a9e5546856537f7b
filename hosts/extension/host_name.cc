// Host names, addresses, ports and authorities in their strict syntax, and
// how a log line quotes a value a client sent.
#include "hosts/extension/host_name.h"

#include <arpa/inet.h>

#include <cstring>

#include "text/ascii.h"
#include "text/host_port.h"
#include "text/log_escape.h"

namespace hosts {

using text::IsAsciiAlpha;
using text::IsAsciiDigit;
using text::ParsePlainDecimal;

// A numeric IPv4 or IPv6 address, IPv4-mapped IPv6 taken as IPv4.
std::optional<Address> ParseAddress(std::string_view text) {
  if (text.empty() || text.size() >= INET6_ADDRSTRLEN) return std::nullopt;
  // The system's parser stops at a NUL: "192.0.2.1\0junk" must not pass.
  if (text.find('\0') != std::string_view::npos) return std::nullopt;
  const std::string zero_terminated(text);
  Address address;
  if (inet_pton(AF_INET, zero_terminated.c_str(), address.bytes.data()) == 1) return address;
  std::array<std::uint8_t, 16> v6{};
  if (inet_pton(AF_INET6, zero_terminated.c_str(), v6.data()) != 1) return std::nullopt;
  static constexpr std::uint8_t kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
  if (std::memcmp(v6.data(), kMapped, sizeof kMapped) == 0) {
    std::memcpy(address.bytes.data(), v6.data() + 12, 4);
    return address;
  }
  address.v6 = true;
  address.bytes = v6;
  return address;
}

std::string FormatAddress(const Address& address) {
  char text[INET6_ADDRSTRLEN] = {};
  if (inet_ntop(address.v6 ? AF_INET6 : AF_INET, address.bytes.data(), text, sizeof text) ==
      nullptr) {
    return {};
  }
  return text;
}

// A port of 1-65535 in decimal digits, written without leading zeros.
std::optional<std::string> ParsePort(std::string_view digits) {
  const std::optional<std::uint64_t> value = ParsePlainDecimal(digits, 5);
  if (!value || *value == 0 || *value > 65535) return std::nullopt;
  return std::to_string(*value);
}

// A DNS name (labels of letters, digits, "-" and "_", 1-63 bytes each, at
// most 253 in all; an IPv4 address passes as one) or an IPv6 literal in
// brackets, written in canonical form.
std::optional<std::string> ParseHostName(std::string_view text) {
  if (!text.empty() && text.front() == '[') {
    if (text.size() < 3 || text.back() != ']') return std::nullopt;
    const std::optional<Address> address = ParseAddress(text.substr(1, text.size() - 2));
    if (!address || !address->v6) return std::nullopt;
    return "[" + FormatAddress(*address) + "]";
  }
  if (text.empty() || text.size() > 253) return std::nullopt;
  std::size_t label = 0;
  for (char c : text) {
    if (c == '.') {
      if (label == 0) return std::nullopt;
      label = 0;
    } else if (IsAsciiAlpha(c) || IsAsciiDigit(c) || c == '-' || c == '_') {
      if (++label > 63) return std::nullopt;
    } else {
      return std::nullopt;
    }
  }
  if (label == 0) return std::nullopt;
  return std::string(text);
}

// host [ ":" port ], the form of a Host header; an empty port is no port.
std::optional<Authority> ParseAuthority(std::string_view text) {
  const std::optional<text::HostPort> parts = text::SplitHostPort(text);
  if (!parts) return std::nullopt;
  // The brackets of an IPv6 literal are part of the name.
  const std::string_view name =
      parts->bracketed ? text.substr(0, parts->host.size() + 2) : parts->host;
  const std::string_view port = parts->port;
  const bool has_port = parts->has_port;
  Authority authority;
  std::optional<std::string> host = ParseHostName(name);
  if (!host) return std::nullopt;
  authority.name = std::move(*host);
  if (has_port && !port.empty()) {
    authority.port = ParsePort(port);
    if (!authority.port) return std::nullopt;
  }
  return authority;
}

std::string QuotedForLog(std::string_view value) {
  constexpr std::size_t kMostShown = 64;
  const std::string shown = text::EscapedForLog(value.substr(0, kMostShown));
  return "\"" + shown + (value.size() > kMostShown ? "\"..." : "\"");
}

}  // namespace hosts
