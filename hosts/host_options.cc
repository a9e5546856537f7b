// Deriving the limits from the hosts' options, and reading a listen
// address.
#include "hosts/host_options.h"

#include "hosts/extension/host_name.h"
#include "text/ascii.h"
#include "text/host_port.h"

namespace hosts {

RequestLimits RequestLimitsOf(const ServerOptions& options) {
  RequestLimits limits;
  limits.max_header_bytes = options.max_header_bytes;
  limits.max_header_fields = options.max_header_fields;
  limits.max_body = options.max_body;
  return limits;
}

LimitSettings LimitSettingsOf(const ServerOptions& options, std::size_t max_connections) {
  LimitSettings settings;
  settings.max_connections = max_connections;
  settings.per_address_connections = options.per_address_connections;
  settings.per_address_responses = options.per_address_responses;
  settings.max_held_body_bytes = options.max_body_memory;
  return settings;
}

ExtensionSettings ExtensionSettingsOf(const ServerOptions& options) {
  return ExtensionSettings{options.available_limit, options.hold_limit};
}

bool ParseListener(const std::string& text, Listener* listener, std::string* error) {
  std::string_view rest = text;
  constexpr std::string_view kHttps = "https://";
  listener->tls = rest.starts_with(kHttps);
  if (listener->tls) rest.remove_prefix(kHttps.size());
  const std::optional<text::HostPort> parts = text::SplitHostPort(rest);
  if (!parts || !parts->has_port || (parts->host.empty() && !parts->bracketed)) {
    *error = "--listen wants ADDR:PORT or https://ADDR:PORT, got \"" + text + "\"";
    return false;
  }
  const std::optional<std::uint64_t> port = text::ParsePlainDecimal(parts->port);
  if (!port || *port > 65535) {
    *error = "--listen: bad port in \"" + text + "\"";
    return false;
  }
  if (!ParseAddress(parts->host)) {
    *error = "--listen: \"" + std::string(parts->host) + "\" is not a numeric IPv4 or IPv6 address";
    return false;
  }
  listener->address = std::string(parts->host);
  listener->port = static_cast<std::uint16_t>(*port);
  return true;
}

}  // namespace hosts
