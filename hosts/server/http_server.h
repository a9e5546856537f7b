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
#include "hosts/host_options.h"

namespace hosts {

class ServerContext;
struct Acceptor;

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

  [[nodiscard]] bool Start(std::string* error);
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
  // Undoes Admit for a connection that could not be made.
  void Uncount(const std::string& address, bool proxied);
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
