// The metrics listener: Asio accepts, Beast reads one request per
// connection and the answer is the registry's text, then the connection is
// closed. Each connection has 5 seconds for its whole exchange; a few are
// served at once (the rest closed at once) so that the metrics port cannot
// take the descriptors the portal needs, and an accept error is followed by
// a pause, as on the portal's listeners.
#include "hosts/operations/metrics_listener.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <chrono>
#include <memory>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>

#include "hosts/host_options.h"

namespace hosts {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

struct MetricsListener::State {
  State(const Metrics& source, std::size_t cap)
      : metrics(source), max_connections(cap), acceptor(io), pause(io) {}
  const Metrics& metrics;
  const std::size_t max_connections;
  std::size_t connections = 0;  // on the listener's one thread only
  asio::io_context io;
  tcp::acceptor acceptor;
  asio::steady_timer pause;
  std::thread thread;
};

namespace {

constexpr std::chrono::seconds kExchangeLimit{5};
constexpr std::chrono::milliseconds kAcceptErrorPause{100};

class Scrape : public std::enable_shared_from_this<Scrape> {
 public:
  Scrape(tcp::socket socket, MetricsListener::State& state)
      : stream_(std::move(socket)), metrics_(state.metrics), state_(state) {
    ++state_.connections;
  }
  ~Scrape() { --state_.connections; }

  void Run() {
    stream_.expires_after(kExchangeLimit);
    parser_.header_limit(8 * 1024);
    parser_.body_limit(64 * 1024);  // a body is read and ignored
    http::async_read(stream_, buffer_, parser_,
                     [self = shared_from_this()](beast::error_code ec, std::size_t) {
                       if (!ec) self->Answer();
                     });
  }

 private:
  void Answer() {
    const auto& request = parser_.get();
    const std::string_view target = request.target();
    const std::string_view path = target.substr(0, target.find('?'));
    response_.version(request.version());
    response_.keep_alive(false);
    if (path != "/metrics") {
      response_.result(http::status::not_found);
      response_.set(http::field::content_type, "text/plain");
      response_.body() = "Not found: the metrics are at /metrics\n";
    } else if (request.method() != http::verb::get && request.method() != http::verb::head) {
      response_.result(http::status::method_not_allowed);
      response_.set(http::field::allow, "GET, HEAD");
    } else {
      response_.result(http::status::ok);
      response_.set(http::field::content_type, "text/plain; version=0.0.4; charset=utf-8");
      response_.body() = metrics_.Text();
    }
    response_.prepare_payload();
    if (request.method() == http::verb::head) response_.body().clear();
    http::async_write(stream_, response_,
                      [self = shared_from_this()](beast::error_code, std::size_t) {
                        beast::error_code ignored;
                        self->stream_.socket().shutdown(tcp::socket::shutdown_both, ignored);
                      });
  }

  beast::tcp_stream stream_;
  const Metrics& metrics_;
  MetricsListener::State& state_;
  beast::flat_buffer buffer_;
  http::request_parser<http::string_body> parser_;
  http::response<http::string_body> response_;
};

void Accept(MetricsListener::State& state) {
  state.acceptor.async_accept([&state](beast::error_code ec, tcp::socket socket) {
    if (ec == asio::error::operation_aborted) return;
    if (ec) {
      // Out of descriptors or memory: wait a little rather than spin.
      state.pause.expires_after(kAcceptErrorPause);
      state.pause.async_wait([&state](beast::error_code waited) {
        if (!waited) Accept(state);
      });
      return;
    }
    if (state.connections < state.max_connections) {
      std::make_shared<Scrape>(std::move(socket), state)->Run();
    } else {
      beast::error_code ignored;
      socket.close(ignored);  // over the cap: refused at once
    }
    Accept(state);
  });
}

}  // namespace

std::unique_ptr<MetricsListener> MetricsListener::Start(const std::string& address_port,
                                                        const Metrics& metrics, std::string* error,
                                                        std::size_t max_connections) {
  Listener listener;
  if (!ParseListener(address_port, &listener, error)) return nullptr;
  if (listener.tls) {
    *error = "the metrics listener serves plain HTTP only: " + address_port;
    return nullptr;
  }
  auto state = std::make_unique<State>(metrics, max_connections);
  beast::error_code ec;
  const tcp::endpoint endpoint(asio::ip::make_address(listener.address, ec), listener.port);
  if (!ec) state->acceptor.open(endpoint.protocol(), ec);
  if (!ec) state->acceptor.set_option(asio::socket_base::reuse_address(true), ec);
  if (!ec) state->acceptor.bind(endpoint, ec);
  if (!ec) state->acceptor.listen(asio::socket_base::max_listen_connections, ec);
  if (ec) {
    *error = "cannot listen for metrics on " + address_port + ": " + ec.message();
    return nullptr;
  }
  Accept(*state);
  State* running = state.get();
  try {
    state->thread = std::thread([running] { running->io.run(); });
  } catch (const std::system_error& failure) {
    *error = "cannot start the metrics listener's thread: " + std::string(failure.what());
    return nullptr;
  }
  return std::unique_ptr<MetricsListener>(new MetricsListener(std::move(state)));
}

MetricsListener::MetricsListener(std::unique_ptr<State> state) : state_(std::move(state)) {}

// Scrapes in progress are abandoned with the I/O context.
MetricsListener::~MetricsListener() {
  state_->io.stop();
  if (state_->thread.joinable()) state_->thread.join();
}

std::uint16_t MetricsListener::port() const {
  beast::error_code ignored;
  return state_->acceptor.local_endpoint(ignored).port();
}

}  // namespace hosts
