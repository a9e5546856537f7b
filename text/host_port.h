// Splitting "host:port" as addresses are written in headers, forwarded
// nodes and listen options: an IPv6 address in brackets, else the port
// after the last colon. Only the split; each caller checks the parts
// against its own syntax.
#pragma once

#include <optional>
#include <string_view>

namespace text {

struct HostPort {
  std::string_view host;   // without the brackets of "[v6]"
  std::string_view port;   // the text after the colon, possibly empty
  bool has_port = false;   // a colon followed the host
  bool bracketed = false;  // the host was written "[...]"
};

// "[v6]:port", "[v6]", "name:port" or "name". Nothing when a "[" has no
// "]", or something other than ":port" follows the "]".
constexpr std::optional<HostPort> SplitHostPort(std::string_view text) {
  HostPort parts;
  if (!text.empty() && text.front() == '[') {
    const std::size_t close = text.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    parts.host = text.substr(1, close - 1);
    parts.bracketed = true;
    const std::string_view rest = text.substr(close + 1);
    if (rest.empty()) return parts;
    if (rest.front() != ':') return std::nullopt;
    parts.port = rest.substr(1);
    parts.has_port = true;
    return parts;
  }
  const std::size_t colon = text.rfind(':');
  parts.host = text.substr(0, colon);
  if (colon != std::string_view::npos) {
    parts.port = text.substr(colon + 1);
    parts.has_port = true;
  }
  return parts;
}

}  // namespace text
