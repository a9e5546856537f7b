// Requests that reach a host through a reverse proxy: which peers are trusted
// proxies, and what client address, scheme, host name and port a trusted
// proxy reports in Forwarded or X-Forwarded-* headers. Knows no HTTP library:
// a host hands it the peer address and the header values it received.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace hosts {

class ServerVariables;

// The headers a site's proxies report the client's side in: the
// X-Forwarded-For/-Proto/-Host/-Port family, or Forwarded (RFC 7239). Only
// the family named is read, so a client cannot slip in a header of the
// other one that the proxy passes on untouched.
enum class ForwardedFamily { kXForwarded, kForwarded };

// A set of address ranges ("10.0.0.0/8", "::1", "fd00::/8"). Peers in one
// of them are trusted to report the client's side of the proxy, in the
// family of headers named.
class TrustedProxies {
 public:
  // Adds ADDRESS[/PREFIX], a numeric IPv4 or IPv6 address with an optional
  // prefix length (32 or 128 when none). Bits past the prefix are ignored
  // ("10.1.2.3/8" is 10.0.0.0/8). False, with a reason, for anything else.
  [[nodiscard]] bool Add(std::string_view spec, std::string* error);

  bool empty() const { return ranges_.empty(); }

  ForwardedFamily family() const { return family_; }
  void set_family(ForwardedFamily family) { family_ = family; }

  // Whether a numeric address lies in a trusted range. An IPv4-mapped IPv6
  // address ("::ffff:127.0.0.1", what a dual-stack socket reports) is
  // matched as its IPv4 address. Anything not an address is not trusted.
  bool Trusts(std::string_view address) const;

 private:
  struct Range {
    bool v6 = false;
    std::array<std::uint8_t, 16> bytes{};
    unsigned prefix = 0;
  };
  std::vector<Range> ranges_;
  ForwardedFamily family_ = ForwardedFamily::kXForwarded;
};

// The forwarding headers of one request, as received (a header that came
// twice joined with ", "); nullopt for a header not sent.
struct ForwardingHeaders {
  std::optional<std::string_view> forwarded;
  std::optional<std::string_view> x_forwarded_for;
  std::optional<std::string_view> x_forwarded_proto;
  std::optional<std::string_view> x_forwarded_host;
  std::optional<std::string_view> x_forwarded_port;
  // The request's own Host header: the public authority when the proxy
  // passes it on and reports no host of its own.
  std::optional<std::string_view> host;
};

// What the request looked like on the proxy's public side. Every value is
// validated and canonical: an address in numeric form without brackets or
// port, "http" or "https", a host name of letters, digits, "-", "_" and "."
// or an address literal ("[2001:db8::1]"), a decimal port 1-65535.
struct ForwardedRequest {
  std::optional<std::string> remote_addr;
  std::optional<std::string> scheme;
  std::optional<std::string> server_name;
  std::optional<std::string> server_port;
  // One line for every value that was ignored as malformed, with the value
  // quoted and made printable, for the host's log.
  std::vector<std::string> rejected;
};

// The public side of a request from `peer`. Empty when the peer is not a
// trusted proxy or sent no forwarding header of the proxies' family. Of the
// elements of a Forwarded header, the one added by the farthest trusted
// proxy is used (elements are walked from the last, added by the peer,
// while the address they report is itself a trusted proxy).
ForwardedRequest ReadForwardedRequest(const TrustedProxies& proxies, std::string_view peer,
                                      const ForwardingHeaders& headers);

// Reads the forwarding headers from a request's variables (HTTP_FORWARDED,
// HTTP_X_FORWARDED_FOR, ... and REMOTE_ADDR as the peer) and, for a trusted
// peer, replaces REMOTE_ADDR, REMOTE_HOST, HTTPS, SERVER_PORT_SECURE,
// SERVER_NAME and SERVER_PORT by what the proxy reported. Returns the lines
// to log for ignored values.
std::vector<std::string> ApplyForwardedRequest(const TrustedProxies& proxies,
                                               ServerVariables* variables);

}  // namespace hosts
