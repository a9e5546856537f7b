// The hosts' options and their defaults, in one place: the embedded
// server's settings, the limits every connection and request is held to,
// and what the extension runner offers and holds on both hosts. The limit
// types below are derived from ServerOptions (RequestLimitsOf, ...); their
// defaults are the same named constants, written once in `defaults`.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "hosts/extension/forwarded.h"

namespace hosts {

class AccessLog;
class Metrics;

// The defaults, each written once.
namespace defaults {
// Body bytes offered in the control block before the extension has to call
// ReadClient, as web servers offer the first read of a body (both hosts).
inline constexpr std::size_t kAvailableLimit = 48 * 1024;
// Response bytes held before a response starts to go out: a response that
// ends within them goes out whole with its true length (both hosts).
inline constexpr std::size_t kHoldLimit = 256 * 1024;
inline constexpr std::uint64_t kMaxBody = 16u * 1024u * 1024u;
inline constexpr std::size_t kMaxHeaderBytes = 16 * 1024;
inline constexpr std::size_t kMaxHeaderFields = 100;
inline constexpr std::size_t kMaxConnections = 1024;
inline constexpr std::size_t kPerAddressConnections = 64;
inline constexpr std::size_t kPerAddressResponses = 32;
inline constexpr std::uint64_t kMaxBodyMemory = 256u * 1024u * 1024u;
}  // namespace defaults

// The extension runner's settings, the same on every host.
struct ExtensionSettings {
  std::size_t available_limit = defaults::kAvailableLimit;
  std::size_t hold_limit = defaults::kHoldLimit;
};

// One address the server listens on.
struct Listener {
  std::string address;     // numeric IPv4 or IPv6 address
  std::uint16_t port = 0;  // 0: any free port
  bool tls = false;        // HTTPS with the server's certificate
};

struct ServerOptions {
  // Used when `listeners` is empty: one plain listener.
  std::string listen_address = "127.0.0.1";  // numeric IPv4 or IPv6 address
  std::uint16_t port = 8080;                 // 0: any free port
  std::vector<Listener> listeners;
  std::string script_name = "/scripts/dudarovuvadu.dll";
  unsigned threads = 8;          // workers that call the extension
  unsigned max_threads = 64;     // more workers while all are busy
  unsigned network_threads = 0;  // 0: two per processor
  // Module calls on the network thread that received them while one thread
  // is left free for the others (no hand-off to a worker and back).
  bool inline_calls = true;
  std::uint64_t max_body = defaults::kMaxBody;  // larger bodies get 413
  unsigned idle_timeout_seconds = 30;           // an idle connection is closed
  unsigned header_timeout_seconds = 10;         // a request head must be whole by then
  unsigned drain_timeout_seconds = 30;          // bound of the graceful stop
  // How long a stop waits for bodies still arriving before it answers them
  // 503 (never longer than the drain timeout).
  std::chrono::milliseconds body_grace_at_stop{5000};
  std::size_t max_connections = 0;  // 0: sized to the descriptor limit
  // From one client address (a trusted proxy's: by max_connections only).
  std::size_t per_address_connections = defaults::kPerAddressConnections;
  std::size_t per_address_responses = defaults::kPerAddressResponses;  // being written to one
  std::uint64_t max_body_memory = defaults::kMaxBodyMemory;  // request bodies held at once
  std::size_t max_header_bytes = defaults::kMaxHeaderBytes;  // request line and header fields
  std::size_t max_header_fields = defaults::kMaxHeaderFields;
  std::size_t available_limit = defaults::kAvailableLimit;  // body bytes offered before ReadClient
  std::size_t hold_limit = defaults::kHoldLimit;            // response bytes held before sending
  // Requests a second one client (behind a trusted proxy, the client it
  // names) may keep up, 0 for no limit, and may make at once above that;
  // past them it is answered `rate_limit_status` with Retry-After. A
  // browser polls once a second per open page.
  double rate_limit = 10;
  unsigned rate_burst = 100;
  unsigned rate_limit_status = 429;
  // TLS listeners: PEM certificate (chain) and key files, OpenSSL cipher
  // list for TLS 1.2 (TLS 1.3 keeps its own suites).
  std::string tls_cert;
  std::string tls_key;
  std::string tls_ciphers =
      "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:ECDHE-ECDSA-AES256-GCM-SHA384:"
      "ECDHE-RSA-AES256-GCM-SHA384:ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305";
  bool quiet = false;  // no line per request
  // The per-request line shows the whole target, not just the path and the
  // command name (as the access log's with_query).
  bool log_query = false;
  // Peers whose Forwarded / X-Forwarded-* headers are believed.
  TrustedProxies trusted_proxies;
  // What operators watch, owned by the caller, or null: a line per request
  // in the access log; the request, connection, worker and module metrics.
  AccessLog* access_log = nullptr;
  Metrics* metrics = nullptr;
};

// What a request head and body may take (hosts/server/request_head.h).
struct RequestLimits {
  std::size_t max_header_bytes = defaults::kMaxHeaderBytes;    // request line and header fields
  std::size_t max_header_fields = defaults::kMaxHeaderFields;  // header and trailer fields
  std::uint64_t max_body = defaults::kMaxBody;
};

// What the server admits at once (hosts/server/server_limits.h).
struct LimitSettings {
  std::size_t max_connections = defaults::kMaxConnections;
  std::size_t per_address_connections = defaults::kPerAddressConnections;
  // Responses being written to one address (a client that does not read
  // holds one until its write deadline).
  std::size_t per_address_responses = defaults::kPerAddressResponses;
  // Request body bytes held in memory across every connection.
  std::uint64_t max_held_body_bytes = defaults::kMaxBodyMemory;
};

RequestLimits RequestLimitsOf(const ServerOptions& options);
// `max_connections`: the options' bound once sized to the descriptor limit.
LimitSettings LimitSettingsOf(const ServerOptions& options, std::size_t max_connections);
ExtensionSettings ExtensionSettingsOf(const ServerOptions& options);

// Parses "ADDR:PORT" (plain) or "https://ADDR:PORT" (TLS) into a listener;
// the reason in `error` when it is not one.
[[nodiscard]] bool ParseListener(const std::string& text, Listener* listener, std::string* error);

}  // namespace hosts
