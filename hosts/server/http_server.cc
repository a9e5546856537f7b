// The embedded HTTP server: its listeners and network threads, the
// connections it accepts within its limits, and the graceful stop. What
// happens on a connection is in hosts/server/connection.cc.
#include "hosts/server/http_server.h"

#include <algorithm>
#include <boost/asio/ip/v6_only.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/ssl/ssl_stream.hpp>
#include <future>

#include "hosts/extension/host_name.h"
#include "hosts/operations/metrics.h"
#include "hosts/server/connection.h"
#include "hosts/server/server_context.h"
#include "text/ascii.h"

namespace hosts {

namespace asio = boost::asio;
namespace beast = boost::beast;
using tcp = asio::ip::tcp;
using boost::system::error_code;

// A listening socket on a strand of its own: its accepts and its closing
// at the stop never run at once.
struct Acceptor {
  Acceptor(asio::io_context& io, Listener where)
      : strand(asio::make_strand(io)), socket(strand), listener(std::move(where)) {}
  NetworkStrand strand;
  tcp::acceptor socket;
  Listener listener;
};

HttpServer::HttpServer(ServerOptions options, PFN_HTTPEXTENSIONPROC proc, std::FILE* log)
    : options_(std::move(options)), proc_(proc), log_(log) {
  if (options_.listeners.empty()) {
    options_.listeners.push_back(Listener{options_.listen_address, options_.port, false});
  }
}

HttpServer::~HttpServer() {
  if (started_ && !Stop()) {
    // Requests are still inside the extension and hold their connections:
    // the network side cannot be torn down under them. The process is
    // ending; leave it to it.
    for (std::thread& thread : network_threads_) thread.detach();
    (void)state_.release();
    for (auto& acceptor : acceptors_) (void)acceptor.release();
  }
}

std::uint16_t HttpServer::port(std::size_t listener) const {
  return listener < bound_.size() ? bound_[listener].port : 0;
}

void HttpServer::Accept(std::size_t index) {
  Acceptor& acceptor = *acceptors_[index];
  NetworkStrand strand = asio::make_strand(state_->io());
  acceptor.socket.async_accept(strand, [this, index, strand](error_code ec, NetworkSocket socket) {
    Acceptor& self = *acceptors_[index];
    if (ec == asio::error::operation_aborted || !self.socket.is_open()) return;
    if (ec) {
      // Out of descriptors or memory: wait a little rather than spin.
      auto timer =
          std::make_shared<asio::steady_timer>(self.strand, std::chrono::milliseconds(100));
      timer->async_wait([this, index, timer](error_code) {
        if (acceptors_[index]->socket.is_open()) Accept(index);
      });
      return;
    }
    error_code ignored;
    const std::string address = socket.remote_endpoint(ignored).address().to_string(ignored);
    if (Admit(address)) {
      const bool proxied = state_->options.trusted_proxies.Trusts(address);
      bool made = false;  // from here on the connection's destructor uncounts it
      try {
        if (self.listener.tls) {
          auto connection = std::make_shared<Connection<TlsStream>>(
              state_.get(), strand, std::move(socket), address, proxied, state_->tls());
          made = true;
          connection->Start();
        } else {
          auto connection = std::make_shared<Connection<PlainStream>>(
              state_.get(), strand, std::move(socket), address, proxied, nullptr);
          made = true;
          connection->Start();
        }
      } catch (const std::exception& failure) {
        // The socket is closed with the connection or, never moved, here.
        // One that was never made is uncounted here, as its destructor would.
        state_->Warn("connection from " + address + " not set up: " + failure.what());
        if (!made) Uncount(address, proxied);
      }
    } else {
      socket.close(ignored);  // over a limit: refused at once
    }
    Accept(index);
  });
}

// Counts a new connection, where it opens and where it is refused, in the
// limits and the metrics alike. A trusted proxy's connections carry many
// clients: bounded in all, not per address (their requests are, per client).
bool HttpServer::Admit(const std::string& address) {
  const bool proxied = state_->options.trusted_proxies.Trusts(address);
  const ConnectionAdmission admission = state_->limits().AdmitConnection(address, !proxied);
  Metrics* const metrics = state_->options.metrics;
  if (metrics == nullptr) return admission == ConnectionAdmission::kAdmitted;
  switch (admission) {
    case ConnectionAdmission::kAdmitted:
      metrics->ConnectionOpened();
      return true;
    case ConnectionAdmission::kOverMaxConnections:
      metrics->ConnectionRefused(Metrics::Limit::kMaxConnections);
      return false;
    case ConnectionAdmission::kOverPerAddress:
      metrics->ConnectionRefused(Metrics::Limit::kPerAddress);
      return false;
  }
  return false;
}

void HttpServer::Uncount(const std::string& address, bool proxied) {
  state_->limits().CloseConnection(address, !proxied);
  if (Metrics* const metrics = state_->options.metrics) metrics->ConnectionClosed();
}

bool HttpServer::Start(std::string* error) {
  if (started_) return true;
  const unsigned network_threads = NetworkThreads();
  // Module calls at once: the workers', and those on all network threads but one.
  const unsigned inline_calls = options_.inline_calls ? network_threads - 1 : 0;
  const std::size_t max_connections =
      ConnectionsWithinDescriptors(options_.max_connections, options_.max_threads + inline_calls);
  auto state =
      std::make_unique<ServerContext>(options_, proc_, log_, max_connections, inline_calls);
  const bool any_tls = std::any_of(options_.listeners.begin(), options_.listeners.end(),
                                   [](const Listener& listener) { return listener.tls; });
  if (any_tls && !state->SetUpTls(error)) return false;

  std::vector<std::unique_ptr<Acceptor>> acceptors;
  for (const Listener& listener : options_.listeners) {
    error_code ec;
    const asio::ip::address address = asio::ip::make_address(listener.address, ec);
    if (ec) {
      *error = "\"" + listener.address + "\" is not a numeric address";
      return false;
    }
    auto acceptor = std::make_unique<Acceptor>(state->io(), listener);
    tcp::acceptor& socket = acceptor->socket;
    const tcp::endpoint endpoint(address, listener.port);
    socket.open(endpoint.protocol(), ec);
    if (!ec) socket.set_option(asio::socket_base::reuse_address(true), ec);
    if (!ec && address.is_v6()) socket.set_option(asio::ip::v6_only(true), ec);
    if (!ec) socket.bind(endpoint, ec);
    if (!ec) socket.listen(asio::socket_base::max_listen_connections, ec);
    if (ec) {
      *error = "cannot listen on " + listener.address + ":" + std::to_string(listener.port) + ": " +
               ec.message();
      return false;
    }
    acceptor->listener.port = socket.local_endpoint(ec).port();
    bound_.push_back(acceptor->listener);
    acceptors.push_back(std::move(acceptor));
  }
  if (!state->StartWorkers(error)) return false;
  state->HoldNetwork();
  state_ = std::move(state);
  acceptors_ = std::move(acceptors);
  for (std::size_t i = 0; i < acceptors_.size(); ++i) Accept(i);
  ServerContext* running = state_.get();
  for (unsigned i = 0; i < network_threads; ++i) {
    network_threads_.emplace_back([running] { RunNetwork(running); });
  }
  started_ = true;
  return true;
}

// A quick module call (a poll, Default) costs less than two hand-offs
// between threads, and one that blocks holds its network thread, so one is
// always left for the others. Twice as many network threads as processors
// let nearly every call run where it arrived: on 2 processors under 16
// connections of polls, 1.6 % of the calls went to a worker against 51 %
// with one network thread per processor.
unsigned HttpServer::NetworkThreads() const {
  if (options_.network_threads != 0) return options_.network_threads;
  return 2 * std::max(1u, std::thread::hardware_concurrency());
}

void HttpServer::RunNetwork(ServerContext* server) {
  for (;;) {
    try {
      server->io().run();
      return;
    } catch (const std::exception& failure) {
      // A handler's failure ends its connection (its handler and the
      // connection it held are gone), never the process.
      server->Warn(std::string("a connection failed: ") + failure.what());
    } catch (...) {
      server->Warn("a connection failed");
    }
  }
}

bool HttpServer::Stop() {
  if (stopped_) return drained_;
  if (!started_) return true;
  ServerContext& state = *state_;
  state.BeginStop();
  // Stop accepting: the listening sockets are closed, each on its strand;
  // open connections stay.
  std::vector<std::future<void>> closed;
  for (auto& acceptor : acceptors_) {
    auto done = std::make_shared<std::promise<void>>();
    closed.push_back(done->get_future());
    asio::post(acceptor->strand, [&acceptor = *acceptor, done] {
      error_code ignored;
      acceptor.socket.close(ignored);
      done->set_value();
    });
  }
  for (std::future<void>& done : closed) done.wait();
  // Bodies under way get a short while to arrive; then they are answered
  // 503, and only requests in the module hold the stop up.
  state.WaitForBodies(std::min<std::chrono::milliseconds>(
      options_.body_grace_at_stop, std::chrono::seconds(options_.drain_timeout_seconds)));
  drained_ = state.WaitForRequests(std::chrono::seconds(options_.drain_timeout_seconds));
  stopped_ = true;
  if (!drained_) return false;
  // Nothing admitted is left: the idle connections are closed with the
  // network side.
  state.StopNetwork();
  for (std::thread& thread : network_threads_) thread.join();
  network_threads_.clear();
  state.StopWorkers();
  acceptors_.clear();
  state_.reset();
  return true;
}

}  // namespace hosts
