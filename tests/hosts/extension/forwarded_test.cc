// Trusted proxies and the forwarding headers: which peers are believed, what
// is read from Forwarded and X-Forwarded-*, and that every malformed or
// hostile value is dropped and reported rather than passed on.
#include "hosts/extension/forwarded.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "hosts/extension/server_variables.h"

namespace hosts {
namespace {

TrustedProxies Proxies(const std::vector<std::string>& specs) {
  TrustedProxies proxies;
  for (const std::string& spec : specs) {
    std::string error;
    EXPECT_TRUE(proxies.Add(spec, &error)) << spec << ": " << error;
  }
  return proxies;
}

TEST(TrustedProxiesTest, RangesMatchByPrefix) {
  const TrustedProxies proxies =
      Proxies({"127.0.0.1", "10.1.2.3/8", "192.168.4.0/22", "fd00:1::/32", "::1", "0.0.0.0/0"});
  const TrustedProxies narrow = Proxies({"10.20.0.0/15", "2001:db8:aa::/47", "203.0.113.7/32"});
  struct Case {
    const char* address;
    bool trusted;
  };
  const Case kCases[] = {
      {"10.20.0.1", true},           {"10.21.255.255", true},      {"10.22.0.0", false},
      {"10.19.255.255", false},      {"203.0.113.7", true},        {"203.0.113.8", false},
      {"2001:db8:aa::1", true},      {"2001:db8:ab:ffff::", true}, {"2001:db8:ac::", false},
      {"::ffff:203.0.113.7", true},  // a dual-stack socket's form of an IPv4 peer
      {"::ffff:203.0.113.6", false}, {"203.0.113.7 ", false},      {"", false},
      {"localhost", false},          {"[2001:db8:aa::1]", false},  {"2001:db8:aa::1%eth0", false},
      {"203.0.113.7:80", false},     {"0x0a.20.0.1", false},       {"10.20.1", false},
  };
  for (const Case& c : kCases) {
    EXPECT_EQ(narrow.Trusts(c.address), c.trusted) << c.address;
  }
  EXPECT_TRUE(proxies.Trusts("8.8.8.8"));     // 0.0.0.0/0 is every IPv4 address
  EXPECT_FALSE(proxies.Trusts("fd00:2::1"));  // and no IPv6 one
  EXPECT_TRUE(proxies.Trusts("fd00:1:ffff::9"));
  EXPECT_FALSE(TrustedProxies().Trusts("127.0.0.1"));
}

TEST(TrustedProxiesTest, MalformedSpecsAreRefusedWithAReason) {
  const char* kSpecs[] = {"",           "/8",          "10.0.0.0/",    "10.0.0.0/33",
                          "::/129",     "10.0.0.0/-1", "10.0.0.0/8/8", "10.0.0.0/ 8",
                          "10.0.0.0/x", "10.0.0",      "proxy.lan",    "[::1]",
                          " 10.0.0.1",  "10.0.0.1\n",  "::1/0128",     "fe80::1%lo"};
  for (const char* spec : kSpecs) {
    TrustedProxies proxies;
    std::string error;
    EXPECT_FALSE(proxies.Add(spec, &error)) << spec;
    EXPECT_FALSE(error.empty()) << spec;
    EXPECT_TRUE(proxies.empty()) << spec;
    EXPECT_EQ(error.find('\n'), std::string::npos) << spec;  // safe to print on one line
  }
}

struct Expected {
  Expected(std::optional<std::string> remote = std::nullopt,
           std::optional<std::string> scheme_ = std::nullopt,
           std::optional<std::string> name = std::nullopt,
           std::optional<std::string> port = std::nullopt, std::size_t rejected_ = 0)
      : remote_addr(std::move(remote)),
        scheme(std::move(scheme_)),
        server_name(std::move(name)),
        server_port(std::move(port)),
        rejected(rejected_) {}
  std::optional<std::string> remote_addr;
  std::optional<std::string> scheme;
  std::optional<std::string> server_name;
  std::optional<std::string> server_port;
  std::size_t rejected = 0;
};

// The headers of a case, owned by it (ForwardingHeaders only views them).
struct Headers {
  std::optional<std::string> forwarded, x_forwarded_for, x_forwarded_proto, x_forwarded_host,
      x_forwarded_port, host;

  ForwardingHeaders View() const {
    auto view = [](const std::optional<std::string>& value) -> std::optional<std::string_view> {
      if (!value) return std::nullopt;
      return std::string_view(*value);
    };
    return {view(forwarded),        view(x_forwarded_for),  view(x_forwarded_proto),
            view(x_forwarded_host), view(x_forwarded_port), view(host)};
  }
};

struct HeaderCase {
  const char* name;
  Headers headers;
  Expected expected;
};

Headers Fwd(std::string forwarded) {
  Headers headers;
  headers.forwarded = std::move(forwarded);
  return headers;
}

Headers Xfwd(std::optional<std::string> for_, std::optional<std::string> proto,
             std::optional<std::string> host = std::nullopt,
             std::optional<std::string> port = std::nullopt) {
  Headers headers;
  headers.x_forwarded_for = std::move(for_);
  headers.x_forwarded_proto = std::move(proto);
  headers.x_forwarded_host = std::move(host);
  headers.x_forwarded_port = std::move(port);
  return headers;
}

Headers WithHost(Headers headers, std::string host) {
  headers.host = std::move(host);
  return headers;
}

void ExpectRead(TrustedProxies proxies, std::string_view peer, const HeaderCase& c) {
  // The cases of Forwarded come from proxies that send that family.
  if (c.headers.forwarded) proxies.set_family(ForwardedFamily::kForwarded);
  const ForwardedRequest got = ReadForwardedRequest(proxies, peer, c.headers.View());
  EXPECT_EQ(got.remote_addr, c.expected.remote_addr) << c.name;
  EXPECT_EQ(got.scheme, c.expected.scheme) << c.name;
  EXPECT_EQ(got.server_name, c.expected.server_name) << c.name;
  EXPECT_EQ(got.server_port, c.expected.server_port) << c.name;
  EXPECT_EQ(got.rejected.size(), c.expected.rejected) << c.name;
  for (const std::string& line : got.rejected) {
    // A log line never carries markup, line breaks or raw bytes from a header.
    EXPECT_EQ(line.find_first_of("\r\n<>"), std::string::npos) << c.name << ": " << line;
    for (unsigned char byte : line) EXPECT_TRUE(byte >= 0x20 && byte < 0x7F) << c.name;
    EXPECT_LT(line.size(), 200u) << c.name;
  }
}

TEST(ForwardedRequestTest, TrustedProxyReportsThePublicSide) {
  const TrustedProxies proxies = Proxies({"127.0.0.0/8", "10.0.0.0/8", "fd00::/8"});
  const std::string long_name = std::string(63, 'a') + "." + std::string(63, 'b');
  const HeaderCase kCases[] = {
      {"forwarded, every parameter",
       Fwd("for=192.0.2.60;proto=https;host=portal.example;by=10.0.0.1"),
       {"192.0.2.60", "https", "portal.example", "443"}},
      {"forwarded, host with port",
       Fwd("for=192.0.2.60;proto=https;host=\"portal.example:8443\""),
       {"192.0.2.60", "https", "portal.example", "8443"}},
      {"forwarded, parameter names and scheme in any case",
       Fwd("For=192.0.2.60;PROTO=HTTP;Host=Portal.Example"),
       {"192.0.2.60", "http", "Portal.Example", "80"}},
      {"forwarded, quoted IPv6 client with port",
       Fwd("for=\"[2001:DB8:0:0::17]:4711\";proto=https"),
       {"2001:db8::17", "https", std::nullopt, "443"}},
      {"forwarded, IPv4 client with port", Fwd("for=\"192.0.2.43:47011\""), {"192.0.2.43"}},
      {"forwarded, spaces around the separators",
       Fwd("  for=192.0.2.1 ; proto=https ,  for=10.0.0.2 "),
       {"192.0.2.1", "https", std::nullopt, "443"}},
      {"forwarded, the peer's own element is the last",
       Fwd("for=198.51.100.9;proto=http, for=192.0.2.1;proto=https;host=a.example"),
       {"192.0.2.1", "https", "a.example", "443"}},
      {"forwarded, trusted hops are walked past to the outermost proxy's element",
       Fwd("for=198.51.100.9, for=192.0.2.1;proto=https;host=public.example, "
           "for=10.0.0.5;proto=http;host=inner.lan, for=\"[fd00::3]\";proto=http;host=inner2"),
       {"192.0.2.1", "https", "public.example", "443"}},
      {"forwarded, every hop trusted: the first element",
       Fwd("for=127.0.0.1;proto=https;host=a.example, for=10.0.0.5"),
       {"127.0.0.1", "https", "a.example", "443"}},
      {"forwarded, walk stops at an element without for",
       Fwd("for=192.0.2.1;host=far.example, proto=https;host=near.example"),
       {std::nullopt, "https", "near.example", "443"}},
      {"forwarded, unknown and hidden clients are no address",
       Fwd("for=unknown;proto=https"),
       {std::nullopt, "https", std::nullopt, "443"}},
      {"forwarded, obfuscated client and port", Fwd("for=\"_hidden:_port\""), {}},
      {"forwarded, empty list elements skipped", Fwd(",, for=192.0.2.1 ,,"), {"192.0.2.1"}},
      {"forwarded, quoted-pair in a value",
       Fwd("for=192.0.2.1;host=\"a\\.example\""),
       {"192.0.2.1", std::nullopt, "a.example"}},
      {"forwarded, host of 2 x 63 bytes",
       Fwd("host=" + long_name),
       {std::nullopt, std::nullopt, long_name}},
      {"forwarded wins over X-Forwarded-*",
       [] {
         Headers h = Xfwd("198.51.100.1", "http", "x.example", "81");
         h.forwarded = "for=192.0.2.1;proto=https;host=f.example";
         return h;
       }(),
       {"192.0.2.1", "https", "f.example", "443"}},
      {"x-forwarded, every header",
       Xfwd("192.0.2.7", "https", "portal.example", "8443"),
       {"192.0.2.7", "https", "portal.example", "8443"}},
      {"x-forwarded, port from the host",
       Xfwd("192.0.2.7", "https", "portal.example:9443"),
       {"192.0.2.7", "https", "portal.example", "9443"}},
      {"x-forwarded, port header wins over the host's",
       Xfwd("192.0.2.7", "https", "portal.example:9443", "443"),
       {"192.0.2.7", "https", "portal.example", "443"}},
      {"x-forwarded, no host: the Host header the proxy passed on",
       WithHost(Xfwd("192.0.2.7", "https"), "portal.example:8443"),
       {"192.0.2.7", "https", "portal.example", "8443"}},
      {"x-forwarded, no host and a Host header without port: the scheme's port",
       WithHost(Xfwd("192.0.2.7", "https"), "portal.example"),
       {"192.0.2.7", "https", "portal.example", "443"}},
      {"x-forwarded, client list walked past trusted proxies",
       Xfwd("203.0.113.50, 198.51.100.3, 10.1.1.1, fd00::9", std::nullopt),
       {"198.51.100.3"}},
      {"x-forwarded, bare and bracketed IPv6, ports",
       Xfwd("2001:db8::1, [2001:db8::2]:5000", std::nullopt),
       {"2001:db8::2"}},
      {"x-forwarded, IPv4 with port", Xfwd("192.0.2.9:5000", std::nullopt), {"192.0.2.9"}},
      {"x-forwarded, proxies that appended scheme and host: the last",
       Xfwd(std::nullopt, "http, https", "evil.example, portal.example"),
       {std::nullopt, "https", "portal.example", "443"}},
      {"x-forwarded, mapped IPv4 client canonical",
       Xfwd("::ffff:192.0.2.1", std::nullopt),
       {"192.0.2.1"}},
      {"x-forwarded, port with leading zeros made canonical",
       Xfwd(std::nullopt, std::nullopt, "portal.example", "00443"),
       {std::nullopt, std::nullopt, "portal.example", "443"}},
      {"x-forwarded, IPv6 host literal canonical",
       Xfwd(std::nullopt, "https", "[2001:DB8::0:1]:8443"),
       {std::nullopt, "https", "[2001:db8::1]", "8443"}},
  };
  for (const HeaderCase& c : kCases) ExpectRead(proxies, "127.0.0.1", c);
}

TEST(ForwardedRequestTest, HostileValuesAreDroppedAndReported) {
  const TrustedProxies proxies = Proxies({"127.0.0.1"});
  const std::string huge(100000, 'a');
  const std::string long_label = std::string(64, 'a') + ".example";
  const std::string long_name = std::string(250, 'a') + ".example";
  const HeaderCase kCases[] = {
      {"markup in the host",
       Fwd("for=192.0.2.1;host=\"a.example\\\"><script>x</script>\""),
       {"192.0.2.1", std::nullopt, std::nullopt, std::nullopt, 1}},
      {"line break in the host",
       Xfwd(std::nullopt, "https", "a.example\r\nSet-Cookie: x=1"),
       {std::nullopt, "https", std::nullopt, "443", 1}},
      {"userinfo in the host",
       Xfwd(std::nullopt, std::nullopt, "user@evil.example"),
       {std::nullopt, std::nullopt, std::nullopt, std::nullopt, 1}},
      {"path in the host",
       Xfwd(std::nullopt, std::nullopt, "evil.example/x?y"),
       {std::nullopt, std::nullopt, std::nullopt, std::nullopt, 1}},
      {"percent escape in the host",
       Xfwd(std::nullopt, std::nullopt, "evil%2eexample"),
       {std::nullopt, std::nullopt, std::nullopt, std::nullopt, 1}},
      {"non-ASCII host",
       Xfwd(std::nullopt, std::nullopt, "\xC3\xA9t\xC3\xA9.example"),
       {std::nullopt, std::nullopt, std::nullopt, std::nullopt, 1}},
      {"label of 64 bytes",
       Xfwd(std::nullopt, std::nullopt, long_label),
       {std::nullopt, std::nullopt, std::nullopt, std::nullopt, 1}},
      {"name of 258 bytes",
       Xfwd(std::nullopt, std::nullopt, long_name),
       {std::nullopt, std::nullopt, std::nullopt, std::nullopt, 1}},
      {"empty label",
       Xfwd(std::nullopt, std::nullopt, "a..example"),
       {std::nullopt, std::nullopt, std::nullopt, std::nullopt, 1}},
      {"two colons in the host",
       Xfwd(std::nullopt, std::nullopt, "a.example:80:80"),
       {std::nullopt, std::nullopt, std::nullopt, std::nullopt, 1}},
      {"unclosed IPv6 literal",
       Xfwd(std::nullopt, std::nullopt, "[2001:db8::1"),
       {std::nullopt, std::nullopt, std::nullopt, std::nullopt, 1}},
      {"IPv4 inside brackets",
       Xfwd(std::nullopt, std::nullopt, "[192.0.2.1]"),
       {std::nullopt, std::nullopt, std::nullopt, std::nullopt, 1}},
      {"bad port in the host drops the host",
       Xfwd(std::nullopt, "https", "a.example:99999"),
       {std::nullopt, "https", std::nullopt, "443", 1}},
      {"port 0",
       Xfwd(std::nullopt, std::nullopt, "a.example", "0"),
       {std::nullopt, std::nullopt, "a.example", std::nullopt, 1}},
      {"port 65536",
       Xfwd(std::nullopt, "http", "a.example", "65536"),
       {std::nullopt, "http", "a.example", "80", 1}},
      {"signed port",
       Xfwd(std::nullopt, std::nullopt, "a.example", "+443"),
       {std::nullopt, std::nullopt, "a.example", std::nullopt, 1}},
      {"port with a space",
       Xfwd(std::nullopt, std::nullopt, std::nullopt, "4 43"),
       {std::nullopt, std::nullopt, std::nullopt, std::nullopt, 1}},
      {"scheme not http or https",
       Xfwd(std::nullopt, "javascript", "a.example:8443"),
       {std::nullopt, std::nullopt, "a.example", "8443", 1}},
      {"scheme with trailing junk",
       Fwd("proto=\"https://\""),
       {std::nullopt, std::nullopt, std::nullopt, std::nullopt, 1}},
      {"client not an address",
       Fwd("for=\"<img src=x>\";proto=https"),
       {std::nullopt, "https", std::nullopt, "443", 1}},
      {"client a host name",
       Xfwd("client.example", std::nullopt),
       {std::nullopt, std::nullopt, std::nullopt, std::nullopt, 1}},
      {"client with a zone id",
       Xfwd("fe80::1%eth0", std::nullopt),
       {std::nullopt, std::nullopt, std::nullopt, std::nullopt, 1}},
      {"client cut short by a NUL byte",
       Xfwd(std::string("192.0.2.1\0.evil", 15), std::nullopt),
       {std::nullopt, std::nullopt, std::nullopt, std::nullopt, 1}},
      {"forwarded client cut short by a NUL byte",
       Fwd(std::string("for=192.0.2.1\0x", 15)),
       {std::nullopt, std::nullopt, std::nullopt, std::nullopt, 1}},
      {"unbracketed IPv6 in Forwarded",
       Fwd("for=2001:db8::1"),
       {std::nullopt, std::nullopt, std::nullopt, std::nullopt, 1}},
      {"IPv4 in Forwarded brackets",
       Fwd("for=\"[192.0.2.1]\""),
       {std::nullopt, std::nullopt, std::nullopt, std::nullopt, 1}},
      {"client port 0",
       Fwd("for=\"192.0.2.1:0\""),
       {std::nullopt, std::nullopt, std::nullopt, std::nullopt, 1}},
      // Forwarded syntax errors drop the whole header: its list cannot be
      // walked from the end when it cannot be read whole.
      {"parameter twice",
       Fwd("for=192.0.2.1;for=192.0.2.2;proto=https"),
       {std::nullopt, std::nullopt, std::nullopt, std::nullopt, 1}},
      {"unterminated quote",
       Fwd("for=192.0.2.1;host=\"a.example"),
       {std::nullopt, std::nullopt, std::nullopt, std::nullopt, 1}},
      {"pair without value",
       Fwd("for=;proto=https"),
       {std::nullopt, std::nullopt, std::nullopt, std::nullopt, 1}},
      {"bare word", Fwd("192.0.2.1"), {std::nullopt, std::nullopt, std::nullopt, std::nullopt, 1}},
      {"junk after a quoted value",
       Fwd("host=\"a.example\"x"),
       {std::nullopt, std::nullopt, std::nullopt, std::nullopt, 1}},
      {"control byte in a quoted value",
       Fwd("host=\"a\x01.example\""),
       {std::nullopt, std::nullopt, std::nullopt, std::nullopt, 1}},
      {"line break between elements",
       Fwd("for=192.0.2.1\r\n, for=192.0.2.2"),
       {std::nullopt, std::nullopt, std::nullopt, std::nullopt, 1}},
      {"trailing backslash",
       Fwd("host=\"a\\"),
       {std::nullopt, std::nullopt, std::nullopt, std::nullopt, 1}},
      {"100 kB of host",
       Xfwd(std::nullopt, std::nullopt, huge),
       {std::nullopt, std::nullopt, std::nullopt, std::nullopt, 1}},
      {"100 kB of Forwarded",
       Fwd("for=\"" + huge),
       {std::nullopt, std::nullopt, std::nullopt, std::nullopt, 1}},
      {"bad Host header passed on",
       WithHost(Xfwd("192.0.2.1", "https"), "a.example\"><b>"),
       {"192.0.2.1", "https", std::nullopt, "443", 1}},
      {"several bad values, each reported",
       Xfwd("not-an-address", "ftp", "a b.example", "http"),
       {std::nullopt, std::nullopt, std::nullopt, std::nullopt, 4}},
  };
  for (const HeaderCase& c : kCases) ExpectRead(proxies, "127.0.0.1", c);
}

TEST(ForwardedRequestTest, UntrustedPeersChangeNothing) {
  const TrustedProxies proxies = Proxies({"10.0.0.0/8"});
  Headers headers = Xfwd("192.0.2.1", "https", "evil.example", "443");
  headers.forwarded = "for=192.0.2.1;proto=https;host=evil.example";
  headers.host = "evil.example:443";
  const ForwardingHeaders all = headers.View();
  const char* kPeers[] = {"127.0.0.1", "11.0.0.1", "::ffff:9.255.255.255",
                          "",          "garbage",  "10.0.0.1 "};
  for (const char* peer : kPeers) {
    const ForwardedRequest got = ReadForwardedRequest(proxies, peer, all);
    EXPECT_FALSE(got.remote_addr || got.scheme || got.server_name || got.server_port) << peer;
    EXPECT_TRUE(got.rejected.empty()) << peer;
  }
  // No proxy configured: nobody is trusted, not even loopback.
  const ForwardedRequest none = ReadForwardedRequest(TrustedProxies(), "127.0.0.1", all);
  EXPECT_FALSE(none.remote_addr || none.scheme || none.server_name || none.server_port);
  // A trusted peer that sends no forwarding header: its Host header alone
  // changes nothing either.
  ForwardingHeaders host_only;
  host_only.host = "evil.example:443";
  const ForwardedRequest plain = ReadForwardedRequest(proxies, "10.0.0.1", host_only);
  EXPECT_FALSE(plain.remote_addr || plain.scheme || plain.server_name || plain.server_port);
}

ServerVariables DirectRequest(const std::string& peer) {
  ServerVariables variables;
  variables.Set("REMOTE_ADDR", peer);
  variables.Set("REMOTE_HOST", peer);
  variables.Set("SERVER_NAME", "127.0.0.1");
  variables.Set("SERVER_PORT", "8080");
  variables.Set("HTTPS", "off");
  variables.Set("SERVER_PORT_SECURE", "0");
  variables.AddRequestHeader("Host", "127.0.0.1:8080");
  variables.AddRequestHeader("X-Forwarded-For", "198.51.100.1");
  variables.AddRequestHeader("X-Forwarded-For", "192.0.2.5");  // joined ", " as two headers
  variables.AddRequestHeader("X-Forwarded-Proto", "https");
  variables.AddRequestHeader("X-Forwarded-Host", "portal.example:8443");
  return variables;
}

TEST(ApplyForwardedRequestTest, ReplacesTheServerVariablesOfATrustedPeerOnly) {
  const TrustedProxies proxies = Proxies({"127.0.0.1"});
  ServerVariables trusted = DirectRequest("127.0.0.1");
  EXPECT_TRUE(ApplyForwardedRequest(proxies, &trusted).empty());
  EXPECT_EQ(*trusted.Find("REMOTE_ADDR"), "192.0.2.5");
  EXPECT_EQ(*trusted.Find("REMOTE_HOST"), "192.0.2.5");
  EXPECT_EQ(*trusted.Find("SERVER_NAME"), "portal.example");
  EXPECT_EQ(*trusted.Find("SERVER_PORT"), "8443");
  EXPECT_EQ(*trusted.Find("HTTPS"), "on");
  EXPECT_EQ(*trusted.Find("SERVER_PORT_SECURE"), "1");

  ServerVariables untrusted = DirectRequest("127.0.0.2");
  EXPECT_TRUE(ApplyForwardedRequest(proxies, &untrusted).empty());
  EXPECT_EQ(*untrusted.Find("REMOTE_ADDR"), "127.0.0.2");
  EXPECT_EQ(*untrusted.Find("SERVER_NAME"), "127.0.0.1");
  EXPECT_EQ(*untrusted.Find("SERVER_PORT"), "8080");
  EXPECT_EQ(*untrusted.Find("HTTPS"), "off");

  ServerVariables hostile = DirectRequest("127.0.0.1");
  hostile.AddRequestHeader("Forwarded", "proto=gopher;host=\"x\\\"y\"");
  TrustedProxies forwarded_proxies = proxies;
  forwarded_proxies.set_family(ForwardedFamily::kForwarded);
  const std::vector<std::string> rejected = ApplyForwardedRequest(forwarded_proxies, &hostile);
  EXPECT_EQ(rejected.size(), 2u);
  EXPECT_EQ(*hostile.Find("REMOTE_ADDR"), "127.0.0.1");
  EXPECT_EQ(*hostile.Find("SERVER_NAME"), "127.0.0.1");
  EXPECT_EQ(*hostile.Find("SERVER_PORT"), "8080");
  EXPECT_EQ(*hostile.Find("HTTPS"), "off");
}

// A client's own Forwarded header, passed on by a proxy that sends the
// X-Forwarded-* family, and a header spelled with underscores, are no
// forwarding headers: the proxy's own values stand.
TEST(ApplyForwardedRequestTest, OnlyTheProxiesFamilyIsRead) {
  const TrustedProxies proxies = Proxies({"127.0.0.1"});
  ServerVariables spoofed = DirectRequest("127.0.0.1");
  spoofed.AddRequestHeader("Forwarded", "for=6.6.6.6;proto=http;host=evil.example");
  spoofed.AddRequestHeader("X_Forwarded_For", "6.6.6.6");
  EXPECT_TRUE(ApplyForwardedRequest(proxies, &spoofed).empty());
  EXPECT_EQ(*spoofed.Find("REMOTE_ADDR"), "192.0.2.5");
  EXPECT_EQ(*spoofed.Find("SERVER_NAME"), "portal.example");
  EXPECT_EQ(*spoofed.Find("HTTPS"), "on");
}

}  // namespace
}  // namespace hosts
