// Trusted proxies and the Forwarded (RFC 7239) and X-Forwarded-* headers.
// Every value taken from a header ends up in a server variable that the
// module writes into wait pages, spool files and reload URLs, so each is
// checked against a strict syntax and re-written in canonical form; a value
// that fails is dropped and reported, never passed on.
#include "hosts/extension/forwarded.h"

#include <map>

#include "hosts/extension/host_name.h"
#include "hosts/extension/server_variables.h"
#include "text/ascii.h"
#include "text/host_port.h"

namespace hosts {

namespace {

using text::IsAsciiAlpha;
using text::IsAsciiDigit;
using text::IsTokenChar;
using text::TrimBlanks;

std::string LowerCopy(std::string_view mixed) {
  std::string lower(mixed);
  for (char& c : lower) c = text::AsciiLower(c);
  return lower;
}

void Reject(ForwardedRequest* result, std::string_view what, std::string_view value,
            std::string_view reason) {
  result->rejected.push_back("ignored " + std::string(what) + " " + QuotedForLog(value) + ": " +
                             std::string(reason));
}

std::optional<std::string> ParseScheme(std::string_view text) {
  std::string scheme = LowerCopy(text);
  if (scheme == "http" || scheme == "https") return scheme;
  return std::nullopt;
}

// A node of Forwarded's "for" ("192.0.2.1", "192.0.2.1:80", "[2001:db8::1]",
// "[2001:db8::1]:80", "unknown", "_hidden"), or of X-Forwarded-For (the same
// and a bare IPv6 address).
enum class NodeKind { kAddress, kUnknown, kMalformed };
struct Node {
  NodeKind kind = NodeKind::kMalformed;
  Address address;
};

bool IsNodePort(std::string_view port) {
  if (port.empty()) return false;
  if (port.front() == '_') return port.size() > 1;  // an obfuscated port
  return port.size() <= 5 && ParsePort(port).has_value();
}

bool IsObfuscated(std::string_view text) {
  if (text.size() < 2 || text.front() != '_') return false;
  for (char c : text) {
    if (!IsAsciiAlpha(c) && !IsAsciiDigit(c) && c != '.' && c != '_' && c != '-') return false;
  }
  return true;
}

Node ParseNode(std::string_view text, bool bare_v6_allowed) {
  Node node;
  if (bare_v6_allowed && text.find(':') != text.rfind(':') && text.front() != '[') {
    if (const std::optional<Address> address = ParseAddress(text)) {
      node.kind = NodeKind::kAddress;
      node.address = *address;
    }
    return node;
  }
  const std::optional<text::HostPort> parts = text::SplitHostPort(text);
  if (!parts || (parts->has_port && !IsNodePort(parts->port))) return node;
  const std::string_view host = parts->host;
  if (parts->bracketed) {
    const std::optional<Address> address = ParseAddress(host);
    if (!address || !address->v6) return node;
    node.kind = NodeKind::kAddress;
    node.address = *address;
    return node;
  }
  if (LowerCopy(host) == "unknown" || IsObfuscated(host)) {
    node.kind = NodeKind::kUnknown;
    return node;
  }
  const std::optional<Address> address = ParseAddress(host);
  if (!address || address->v6) return node;
  node.kind = NodeKind::kAddress;
  node.address = *address;
  return node;
}

// One element of a Forwarded header: parameter names in lower case.
using ForwardedElement = std::map<std::string, std::string>;

// The value of a pair at `*at` (a token or a quoted string, its escapes
// undone), `*at` moved past it; nullopt, with a reason, when there is none.
std::optional<std::string> ReadPairValue(std::string_view text, std::size_t* at,
                                         std::string_view name, std::string* reason) {
  std::size_t i = *at;
  if (i >= text.size() || text[i] != '"') {
    while (i < text.size() && IsTokenChar(text[i])) ++i;
    if (i == *at) {
      *reason = "empty value of " + std::string(name);
      return std::nullopt;
    }
    std::string value(text.substr(*at, i - *at));
    *at = i;
    return value;
  }
  ++i;
  std::string value;
  while (i < text.size()) {
    char c = text[i++];
    if (c == '"') {
      *at = i;
      return value;
    }
    if (c == '\\') {
      if (i >= text.size()) break;
      c = text[i++];
    }
    if ((static_cast<unsigned char>(c) < 0x20 && c != '\t') || c == 0x7F) {
      *reason = "control character in a quoted value";
      return std::nullopt;
    }
    value += c;
  }
  *reason = "unterminated quoted value";
  return std::nullopt;
}

// Forwarded = 1#( [pair] *( ";" [pair] ) ), pair = token "=" ( token /
// quoted-string ). Empty list elements are skipped. Nullopt, with a reason,
// for anything else, a parameter given twice in one element included: a
// list that cannot be read whole cannot be walked from its end.
std::optional<std::vector<ForwardedElement>> ParseForwarded(std::string_view text,
                                                            std::string* reason) {
  std::vector<ForwardedElement> elements;
  ForwardedElement element;
  std::size_t i = 0;
  auto skip_spaces = [&] {
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  };
  for (;;) {
    skip_spaces();
    if (i < text.size() && text[i] != ',' && text[i] != ';') {
      const std::size_t name_start = i;
      while (i < text.size() && IsTokenChar(text[i])) ++i;
      if (i == name_start || i >= text.size() || text[i] != '=') {
        *reason = "not a list of name=value pairs";
        return std::nullopt;
      }
      const std::string name = LowerCopy(text.substr(name_start, i - name_start));
      ++i;
      std::optional<std::string> value = ReadPairValue(text, &i, name, reason);
      if (!value) return std::nullopt;
      if (!element.emplace(name, std::move(*value)).second) {
        *reason = name + " given twice in one element";
        return std::nullopt;
      }
      skip_spaces();
    }
    if (i >= text.size()) break;
    if (text[i] == ';') {
      ++i;
    } else if (text[i] == ',') {
      ++i;
      if (!element.empty()) elements.push_back(std::move(element));
      element.clear();
    } else {
      *reason = "unexpected character after a value";
      return std::nullopt;
    }
  }
  if (!element.empty()) elements.push_back(std::move(element));
  return elements;
}

// Comma-separated items, trimmed; empty items skipped.
std::vector<std::string_view> SplitList(std::string_view text) {
  std::vector<std::string_view> items;
  while (!text.empty()) {
    const std::size_t comma = text.find(',');
    const std::string_view item = TrimBlanks(text.substr(0, comma));
    if (!item.empty()) items.push_back(item);
    if (comma == std::string_view::npos) break;
    text.remove_prefix(comma + 1);
  }
  return items;
}

// The client's address from a node; a malformed node is reported.
void TakeClient(std::string_view what, std::string_view text, bool bare_v6_allowed,
                ForwardedRequest* result) {
  const Node node = ParseNode(text, bare_v6_allowed);
  if (node.kind == NodeKind::kAddress) {
    result->remote_addr = FormatAddress(node.address);
  } else if (node.kind == NodeKind::kMalformed) {
    Reject(result, what, text, "not an address");
  }
}

// Walks a list of client nodes from its end past trusted proxies: the index
// of the first node, from the end, that is not one (or the first node).
template <typename NodeText>
std::size_t NearestUntrusted(const TrustedProxies& proxies, std::size_t count, bool bare_v6,
                             NodeText node_text) {
  std::size_t index = count - 1;
  while (index > 0) {
    const std::optional<std::string_view> text = node_text(index);
    if (!text) break;
    const Node node = ParseNode(*text, bare_v6);
    if (node.kind != NodeKind::kAddress || !proxies.Trusts(FormatAddress(node.address))) break;
    --index;
  }
  return index;
}

// What the chosen element or headers say of the public side, copied: the
// parsed Forwarded list they may come from does not outlive its reading.
struct PublicSide {
  std::optional<std::string> scheme;
  std::optional<std::string> host;
  std::optional<std::string> port;
  const char* scheme_what = "";
  const char* host_what = "";
};

void ReadFromForwarded(const TrustedProxies& proxies, std::string_view header,
                       ForwardedRequest* result, PublicSide* side) {
  std::string reason;
  const std::optional<std::vector<ForwardedElement>> elements = ParseForwarded(header, &reason);
  if (!elements) {
    Reject(result, "Forwarded header", header, reason);
    return;
  }
  if (elements->empty()) return;
  const std::size_t index = NearestUntrusted(proxies, elements->size(), false,
                                             [&](std::size_t i) -> std::optional<std::string_view> {
                                               const auto found = (*elements)[i].find("for");
                                               if (found == (*elements)[i].end())
                                                 return std::nullopt;
                                               return found->second;
                                             });
  const ForwardedElement& element = (*elements)[index];
  if (const auto found = element.find("for"); found != element.end()) {
    TakeClient("Forwarded for", found->second, false, result);
  }
  if (const auto found = element.find("proto"); found != element.end()) {
    side->scheme = found->second;
    side->scheme_what = "Forwarded proto";
  }
  if (const auto found = element.find("host"); found != element.end()) {
    side->host = found->second;
    side->host_what = "Forwarded host";
  }
}

// The last item of a header a proxy may have appended to.
std::optional<std::string> LastItem(std::optional<std::string_view> header) {
  if (!header) return std::nullopt;
  const std::vector<std::string_view> items = SplitList(*header);
  if (items.empty()) return std::nullopt;
  return std::string(items.back());
}

void ReadFromXForwarded(const TrustedProxies& proxies, const ForwardingHeaders& headers,
                        ForwardedRequest* result, PublicSide* side) {
  if (headers.x_forwarded_for) {
    const std::vector<std::string_view> items = SplitList(*headers.x_forwarded_for);
    if (!items.empty()) {
      const std::size_t index = NearestUntrusted(
          proxies, items.size(), true,
          [&](std::size_t i) -> std::optional<std::string_view> { return items[i]; });
      TakeClient("X-Forwarded-For", items[index], true, result);
    }
  }
  side->scheme = LastItem(headers.x_forwarded_proto);
  side->scheme_what = "X-Forwarded-Proto";
  side->host = LastItem(headers.x_forwarded_host);
  side->host_what = "X-Forwarded-Host";
  side->port = LastItem(headers.x_forwarded_port);
}

}  // namespace

ForwardedRequest ReadForwardedRequest(const TrustedProxies& proxies, std::string_view peer,
                                      const ForwardingHeaders& headers) {
  ForwardedRequest result;
  const bool forwarded = proxies.family() == ForwardedFamily::kForwarded;
  const bool any_header = forwarded ? headers.forwarded.has_value()
                                    : headers.x_forwarded_for || headers.x_forwarded_proto ||
                                          headers.x_forwarded_host || headers.x_forwarded_port;
  if (!any_header || !proxies.Trusts(peer)) return result;

  PublicSide side;
  if (forwarded) {
    ReadFromForwarded(proxies, *headers.forwarded, &result, &side);
  } else {
    ReadFromXForwarded(proxies, headers, &result, &side);
  }

  if (side.scheme) {
    result.scheme = ParseScheme(*side.scheme);
    if (!result.scheme) Reject(&result, side.scheme_what, *side.scheme, "not http or https");
  }
  // The public authority: the one the proxy reports, else the Host header
  // the proxy passed on.
  std::optional<Authority> authority;
  if (side.host) {
    authority = ParseAuthority(*side.host);
    if (!authority) Reject(&result, side.host_what, *side.host, "not a host name or address");
  } else if (headers.host) {
    authority = ParseAuthority(*headers.host);
    if (!authority) Reject(&result, "Host header", *headers.host, "not a host name or address");
  }
  if (authority) result.server_name = authority->name;
  // The public port: the one reported apart, else the authority's, else the
  // scheme's default.
  if (side.port) {
    result.server_port = ParsePort(*side.port);
    if (!result.server_port) Reject(&result, "X-Forwarded-Port", *side.port, "not a port 1-65535");
  }
  if (!result.server_port && authority && authority->port) result.server_port = authority->port;
  if (!result.server_port && result.scheme) {
    result.server_port = *result.scheme == "https" ? "443" : "80";
  }
  return result;
}

std::vector<std::string> ApplyForwardedRequest(const TrustedProxies& proxies,
                                               ServerVariables* variables) {
  if (proxies.empty()) return {};
  const std::string_view* peer = variables->Find("REMOTE_ADDR");
  if (peer == nullptr) return {};
  auto header = [&](std::string_view name) -> std::optional<std::string_view> {
    const std::string_view* value = variables->Find(name);
    if (value == nullptr) return std::nullopt;
    return *value;
  };
  ForwardingHeaders headers;
  headers.forwarded = header("HTTP_FORWARDED");
  headers.x_forwarded_for = header("HTTP_X_FORWARDED_FOR");
  headers.x_forwarded_proto = header("HTTP_X_FORWARDED_PROTO");
  headers.x_forwarded_host = header("HTTP_X_FORWARDED_HOST");
  headers.x_forwarded_port = header("HTTP_X_FORWARDED_PORT");
  headers.host = header("HTTP_HOST");
  ForwardedRequest request = ReadForwardedRequest(proxies, *peer, headers);
  // The variables are replaced only after every header has been read: the
  // views above point into them.
  if (request.remote_addr) {
    variables->Set("REMOTE_ADDR", *request.remote_addr);
    variables->Set("REMOTE_HOST", *request.remote_addr);
  }
  if (request.scheme) {
    const bool secure = *request.scheme == "https";
    variables->Set("HTTPS", secure ? "on" : "off");
    variables->Set("SERVER_PORT_SECURE", secure ? "1" : "0");
  }
  if (request.server_name) variables->Set("SERVER_NAME", *request.server_name);
  if (request.server_port) variables->Set("SERVER_PORT", *request.server_port);
  return std::move(request.rejected);
}

}  // namespace hosts
