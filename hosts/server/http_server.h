// The embedded HTTP server on Boost.Asio and Boost.Beast: a few network
// threads receive requests on every listener (plain or TLS); each request
// for the script name is run through the extension, on its network thread
// while another is free, else on a worker, and the answer goes back on the
// network threads (hosts/server/connection.h). Everything but main() lives in
// hosts/ so tests can link it.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "dudarovuvadu/httpext.h"
#include "hosts/server/forwarded.h"

namespace hosts {

struct ServerContext;
struct Acceptor;
class AccessLog;
class Metrics;

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
  unsigned threads = 8;                                  // workers that call the extension
  unsigned max_threads = 64;                             // more workers while all are busy
  unsigned network_threads = 0;                          // 0: two per processor
  // Module calls on the network thread that received them while one thread
  // is left free for the others (no hand-off to a worker and back).
  bool inline_calls = true;
  std::uint64_t max_body = 16u * 1024u * 1024u;          // larger bodies get 413
  unsigned idle_timeout_seconds = 30;                    // an idle connection is closed
  unsigned header_timeout_seconds = 10;                  // a request head must be whole by then
  unsigned drain_timeout_seconds = 30;                   // bound of the graceful stop
  std::size_t max_connections = 0;                       // 0: sized to the descriptor limit
  std::size_t per_address_connections = 64;              // from one client address (a trusted
                                                         // proxy's: by max_connections only)
  std::size_t per_address_responses = 32;                // being written to one client
  std::uint64_t max_body_memory = 256u * 1024u * 1024u;  // request bodies held at once
  std::size_t max_header_bytes = 16 * 1024;              // request line and header fields
  std::size_t max_header_fields = 100;
  std::size_t available_limit = 48 * 1024;  // body bytes offered before ReadClient
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

// Parses "ADDR:PORT" (plain) or "https://ADDR:PORT" (TLS) into a listener.
bool ParseListener(const std::string& text, Listener* listener, std::string* error);

class HttpServer {
 public:
  // `proc` is the loaded extension's HttpExtensionProc; it must stay loaded
  // until Stop() has returned true. Lines go to `log` (stdout in the host),
  // warnings to stderr.
  HttpServer(ServerOptions options, PFN_HTTPEXTENSIONPROC proc, std::FILE* log);
  // Stops if still running.
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  bool Start(std::string* error);
  // The port of the first listener (the one picked when 0 was asked).
  std::uint16_t port() const { return port(0); }
  std::uint16_t port(std::size_t listener) const;
  // The listeners as bound.
  const std::vector<Listener>& listeners() const { return bound_; }

  // Graceful stop: stops accepting connections, answers every request still
  // sending its body 503, lets every request in the extension finish and be
  // answered, then closes the server. Waits at most drain_timeout_seconds;
  // false when requests were still inside the extension then (the extension
  // must then not be unloaded).
  bool Stop();

 private:
  void Accept(std::size_t index);
  bool Admit(const std::string& address);
  // How many network threads run: as the options say, else two per processor.
  unsigned NetworkThreads() const;
  // A network thread: runs the I/O context until the stop.
  static void RunNetwork(ServerContext* server);

  ServerOptions options_;
  PFN_HTTPEXTENSIONPROC proc_;
  std::FILE* log_;
  std::unique_ptr<ServerContext> state_;
  std::vector<std::unique_ptr<Acceptor>> acceptors_;
  std::vector<Listener> bound_;
  std::vector<std::thread> network_threads_;
  bool started_ = false;
  bool stopped_ = false;
  bool drained_ = true;
};

}  // namespace hosts
