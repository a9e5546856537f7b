// The one check of what a client or proxy names as a host: numeric
// addresses, host names, ports and "host[:port]" authorities, each accepted
// only in a strict syntax and given back in canonical form, since every one
// ends up in server variables the module writes into pages and URLs. And how
// a log line quotes a value a client sent.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace hosts {

struct Address {
  bool v6 = false;
  std::array<std::uint8_t, 16> bytes{};
};

// A numeric IPv4 or IPv6 address, IPv4-mapped IPv6 taken as IPv4.
std::optional<Address> ParseAddress(std::string_view text);
std::string FormatAddress(const Address& address);

// A port of 1-65535 in decimal digits, written without leading zeros.
std::optional<std::string> ParsePort(std::string_view digits);

// A DNS name (labels of letters, digits, "-" and "_", 1-63 bytes each, at
// most 253 in all; an IPv4 address passes as one) or an IPv6 literal in
// brackets, written in canonical form.
std::optional<std::string> ParseHostName(std::string_view text);

struct Authority {
  std::string name;
  std::optional<std::string> port;
};

// host [ ":" port ], the form of a Host header; an empty port is no port.
std::optional<Authority> ParseAuthority(std::string_view text);

// A value a client or proxy sent, as a log line quotes it: escaped by
// text::EscapedForLog (text/log_escape.h), at most 64 bytes, "..." after the
// quote when it was longer.
std::string QuotedForLog(std::string_view value);

}  // namespace hosts
