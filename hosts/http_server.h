// The embedded HTTP server: libmicrohttpd receives requests on its own
// thread, each request for the script name is run through the extension on
// a worker while its connection is suspended, and the connection is resumed
// with the answer. Everything but main() lives here so tests can link it.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>

#include "dudarovuvadu/httpext.h"
#include "hosts/forwarded.h"

struct MHD_Daemon;

namespace hosts {

class WorkerPool;

struct ServerOptions {
  std::string listen_address = "127.0.0.1";  // numeric IPv4 or IPv6 address
  std::uint16_t port = 8080;                 // 0: any free port
  std::string script_name = "/scripts/dudarovuvadu.dll";
  unsigned threads = 8;                          // workers that call the extension
  std::uint64_t max_body = 16u * 1024u * 1024u;  // larger bodies get 413
  unsigned idle_timeout_seconds = 30;            // an idle connection is closed
  unsigned drain_timeout_seconds = 30;           // bound of the graceful stop
  std::size_t available_limit = 48 * 1024;       // body bytes offered before ReadClient
  bool quiet = false;                            // no line per request
  // Peers whose Forwarded / X-Forwarded-* headers are believed.
  TrustedProxies trusted_proxies;
};

// Parses "ADDR:PORT" ("127.0.0.1:8080", "[::1]:0") into the options.
bool ParseListenAddress(const std::string& text, ServerOptions* options, std::string* error);

class HttpServer {
 public:
  // `proc` is the loaded extension's HttpExtensionProc; it must stay loaded
  // until Stop() has returned true. Lines go to `log` (stdout in the host).
  HttpServer(ServerOptions options, PFN_HTTPEXTENSIONPROC proc, std::FILE* log);
  // Stops if still running.
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  bool Start(std::string* error);
  // The port the server listens on (the one picked when 0 was asked).
  std::uint16_t port() const { return bound_port_; }

  // Graceful stop: stops accepting connections, lets every request already
  // received finish and be answered, then closes the server. Waits at most
  // drain_timeout_seconds; false when requests were still inside the
  // extension then (the extension must then not be unloaded).
  bool Stop();

  struct Request;  // one request in flight, owned by its connection

 private:
  friend struct ServerCallbacks;

  void RunExtension(Request* request);
  void LogRequest(const Request& request);

  ServerOptions options_;
  PFN_HTTPEXTENSIONPROC proc_;
  std::FILE* log_;
  MHD_Daemon* daemon_ = nullptr;
  std::unique_ptr<WorkerPool> workers_;
  std::uint16_t bound_port_ = 0;
  bool stopped_ = false;
  bool drained_ = true;
  // Requests admitted (request line received before the stop began) and not
  // yet completed. A request is admitted and counted under the same lock
  // that Stop() takes to begin, so none slips in after the drain is over.
  std::mutex active_mutex_;
  std::condition_variable active_changed_;
  bool stopping_ = false;
  std::size_t active_requests_ = 0;
  std::mutex log_mutex_;
};

}  // namespace hosts
