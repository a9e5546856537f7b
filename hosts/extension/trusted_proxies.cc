// Trusted proxies: the address ranges whose peers may report the client's
// side of the proxy (forwarded.h).
#include <cstring>

#include "hosts/extension/forwarded.h"
#include "hosts/extension/host_name.h"
#include "text/ascii.h"

namespace hosts {

using text::ParsePlainDecimal;

bool TrustedProxies::Add(std::string_view spec, std::string* error) {
  const std::size_t slash = spec.find('/');
  const std::optional<Address> address = ParseAddress(spec.substr(0, slash));
  if (!address || spec.substr(0, slash).find_first_of(" \t") != std::string_view::npos) {
    *error = "not a numeric IPv4 or IPv6 address: " + QuotedForLog(spec);
    return false;
  }
  Range range;
  range.v6 = address->v6;
  range.bytes = address->bytes;
  const unsigned bits = address->v6 ? 128 : 32;
  range.prefix = bits;
  if (slash != std::string_view::npos) {
    const std::optional<std::uint64_t> value = ParsePlainDecimal(spec.substr(slash + 1), 3);
    if (!value) {
      *error = "not a prefix length: " + QuotedForLog(spec);
      return false;
    }
    if (*value > bits) {
      *error = "prefix longer than the address: " + QuotedForLog(spec);
      return false;
    }
    range.prefix = static_cast<unsigned>(*value);
  }
  ranges_.push_back(range);
  return true;
}

bool TrustedProxies::Trusts(std::string_view text) const {
  if (ranges_.empty()) return false;
  const std::optional<Address> address = ParseAddress(text);
  if (!address) return false;
  for (const Range& range : ranges_) {
    if (range.v6 != address->v6) continue;
    const unsigned whole = range.prefix / 8;
    const unsigned rest = range.prefix % 8;
    if (std::memcmp(range.bytes.data(), address->bytes.data(), whole) != 0) continue;
    if (rest != 0) {
      const auto mask = static_cast<std::uint8_t>(0xFF00u >> rest);
      if ((range.bytes[whole] & mask) != (address->bytes[whole] & mask)) continue;
    }
    return true;
  }
  return false;
}

}  // namespace hosts
