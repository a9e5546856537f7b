// One client connection of the embedded server, its reading side and the
// hand-off to the module; see connection.h for the life of a request and
// who owns what. Its writing side is in connection_output.cc.
#include "hosts/server/connection.h"

#include <boost/asio/post.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>

#include "hosts/operations/access_log.h"
#include "hosts/operations/metrics.h"
#include "text/ascii.h"
#include "text/log_escape.h"

namespace hosts {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using boost::system::error_code;
using tcp = asio::ip::tcp;

namespace {

constexpr char kServerSoftware[] = "dudarovuvadu-serve";

// A limit of the server's is reached: the client may try again.
constexpr std::string_view kBusyText = "The server is busy\n";
// The client passed its request rate: it may try again after Retry-After.
constexpr std::string_view kTooManyText = "Too many requests: try again shortly\n";

// A request the client got wrong (answered 400), as against a client that
// left or a network error (the connection is just closed).
bool IsMalformed(error_code ec) {
  return ec.category() == error_code(http::error::end_of_stream).category() &&
         ec != http::error::end_of_stream && ec != http::error::partial_message;
}

template <class Stream>
Stream MakeStream(NetworkSocket socket, asio::ssl::context* tls) {
  if constexpr (std::is_same_v<Stream, PlainStream>) {
    (void)tls;
    return Stream(std::move(socket));
  } else {
    return Stream(std::move(socket), *tls);
  }
}

}  // namespace

template <class Stream>
Connection<Stream>::Connection(ServerContext* server, NetworkStrand strand, NetworkSocket socket,
                               std::string address, bool proxied, asio::ssl::context* tls)
    : server_(server),
      strand_(std::move(strand)),
      stream_(MakeStream<Stream>(std::move(socket), tls)),
      timer_(strand_),
      address_(std::move(address)),
      proxied_(proxied),
      buffer_(ReadBufferLimit(server->request_limits)),
      client_(address_) {
  error_code ignored;
  NetworkSocket& raw = this->socket();
  raw.set_option(tcp::no_delay(true), ignored);
  remote_port_ = std::to_string(raw.remote_endpoint(ignored).port());
  const tcp::endpoint local = raw.local_endpoint(ignored);
  local_addr_ = local.address().to_string(ignored);
  local_port_ = std::to_string(local.port());
}

template <class Stream>
Connection<Stream>::~Connection() {
  StopReadingBody();
  FinishRequest();
  server_->limits().CloseConnection(address_, !proxied_);
  if (server_->options.metrics != nullptr) server_->options.metrics->ConnectionClosed();
}

template <class Stream>
void Connection<Stream>::Start() {
  if constexpr (kTls) {
    Expire(std::chrono::seconds(server_->options.header_timeout_seconds));
    stream_.async_handshake(asio::ssl::stream_base::server,
                            [self = this->shared_from_this()](error_code ec) {
                              // Not TLS, or not finished in time: dropped.
                              if (ec) return self->Close(false);
                              self->Guarded([&] { self->WaitForRequest(); });
                            });
  } else {
    WaitForRequest();
  }
}

// ---------------------------------------------------------------- deadlines

template <class Stream>
void Connection<Stream>::Expire(std::chrono::seconds after) {
  deadline_ = std::chrono::steady_clock::now() + after;
  if (timer_armed_ && timer_.expiry() <= deadline_) return;  // it wakes in time
  ArmTimer();
}

template <class Stream>
void Connection<Stream>::ArmTimer() {
  timer_armed_ = true;
  timer_.expires_at(deadline_);  // a wait already there ends as aborted
  timer_.async_wait([self = this->shared_from_this()](error_code ec) {
    self->Guarded([&] { self->OnTimer(ec); });
  });
}

template <class Stream>
void Connection<Stream>::OnTimer(error_code ec) {
  if (ec) return;  // replaced by a nearer deadline, or the connection closed
  timer_armed_ = false;
  if (deadline_ == std::chrono::steady_clock::time_point::max()) return;
  if (std::chrono::steady_clock::now() < deadline_) return ArmTimer();
  // Too slow: what waits on the client ends with an error.
  Unbounded();
  if (!Gone()) return Close(false);
  CloseSocket();  // a TLS close that did not end in time
}

// ---------------------------------------------------------------- reading

// Waits for the first byte of a request (idle timeout), then gives the whole
// head its own deadline.
template <class Stream>
void Connection<Stream>::WaitForRequest() {
  state_ = State::kWaitingForHead;
  if (buffer_.size() != 0) return ReadHead();
  Expire(std::chrono::seconds(server_->options.idle_timeout_seconds));
  stream_.async_read_some(buffer_.prepare(std::min<std::size_t>(8192, buffer_.max_size())),
                          [self = this->shared_from_this()](error_code ec, std::size_t read) {
                            self->buffer_.commit(read);
                            if (ec) return self->Close(false);
                            self->Guarded([&] { self->ReadHead(); });
                          });
}

template <class Stream>
void Connection<Stream>::ReadHead() {
  parser_.reset();
  head_arena_.release();
  parser_.emplace(std::piecewise_construct, std::make_tuple(),
                  std::make_tuple(FieldsAllocator(&head_arena_)));
  PrepareParser(*parser_, server_->request_limits);
  // Most heads arrive whole in the first read: parsed at once.
  error_code parsed;
  buffer_.consume(parser_->put(buffer_.data(), parsed));
  if (parsed != http::error::need_more && (parsed || parser_->is_header_done())) {
    return OnHead(parsed);
  }
  Expire(std::chrono::seconds(server_->options.header_timeout_seconds));
  http::async_read_header(stream_, buffer_, *parser_,
                          [self = this->shared_from_this()](error_code ec, std::size_t) {
                            self->Guarded([&] { self->OnHead(ec); });
                          });
}

template <class Stream>
void Connection<Stream>::OnHead(error_code ec) {
  start_ = std::chrono::steady_clock::now();
  context_ = ResponseContext{11, false, false};
  if (ec) {
    // A head that cannot be read names no client: the refusal is logged
    // with the peer's address.
    client_ = address_;
    const bool too_large = ec == http::error::header_limit || ec == http::error::buffer_overflow;
    if (!too_large && !IsMalformed(ec)) return Close(false);
    method_ = "-";
    target_.clear();
    if (server_->options.access_log != nullptr) access_ = AccessRecord::Begin(address_, {}, {});
    return Answer(too_large ? 431 : 400, true);
  }
  const ReceivedRequest& request = parser_->get();
  state_ = State::kHeadIn;
  client_ = ClientOfRequest(request, address_, server_->options.trusted_proxies);
  method_.assign(request.method_string());
  target_.assign(request.target());
  context_.version = request.version() == 10 ? 10 : 11;
  context_.head_request = request.method() == http::verb::head;
  context_.keep_alive = parser_->keep_alive();
  if (server_->options.access_log != nullptr) {
    access_ = AccessRecord::Begin(client_, request[http::field::referer],
                                  request[http::field::user_agent]);
  }
  if (server_->Stopping()) return Answer(503, true);
  if (const unsigned refusal = RefusalOfHead(*parser_, server_->request_limits)) {
    return Answer(refusal, true);
  }
  head_fields_ = static_cast<std::size_t>(std::distance(request.begin(), request.end()));
  parser_->body_limit(server_->options.max_body);
  if (const auto length = parser_->content_length(); length && *length != 0) {
    // The body is held whole before the module runs: counted against the
    // memory all bodies may take.
    if (!server_->limits().HoldBody(*length)) return Answer(503, true, kBusyText);
    held_body_ = *length;
  }
  if (parser_->is_done()) return OnRequest();
  // Registered before any "100 Continue" leaves: a client that has the
  // interim answer knows a stop will wait for its body, within the grace.
  StartReadingBody();
  if (text::EqualsIgnoringAsciiCase(request[http::field::expect], "100-continue")) {
    static constexpr std::string_view kContinue = "HTTP/1.1 100 Continue\r\n\r\n";
    return asio::async_write(stream_, asio::buffer(kContinue.data(), kContinue.size()),
                             [self = this->shared_from_this()](error_code error, std::size_t) {
                               if (error) return self->Close(false);
                               self->Guarded([&] { self->ReadBody(); });
                             });
  }
  ReadBody();
}

// A stop waits for a body still coming within its grace, then answers it
// at once (InterruptBody).
template <class Stream>
void Connection<Stream>::StartReadingBody() {
  state_ = State::kReadingBody;
  std::weak_ptr<Connection> weak = this->shared_from_this();
  server_->AddBodyReader(this, [weak, strand = strand_, server = server_] {
    if (Self self = weak.lock()) {
      asio::post(strand, [self] { self->Guarded([&] { self->InterruptBody(); }); });
    } else {
      server->Complete();  // gone already: nothing to answer
    }
  });
}

template <class Stream>
void Connection<Stream>::ReadBody() {
  if (parser_->is_done()) return OnRequest();
  Expire(std::chrono::seconds(server_->options.idle_timeout_seconds));
  http::async_read_some(stream_, buffer_, *parser_,
                        [self = this->shared_from_this()](error_code ec, std::size_t) {
                          self->Guarded([&] { self->OnBodyRead(ec); });
                        });
}

// The stop counted this connection as a request: it is answered 503, or,
// when it no longer reads its body, uncounted at once.
template <class Stream>
void Connection<Stream>::InterruptBody() {
  if (state_ != State::kReadingBody || admitted_) return server_->Complete();
  admitted_ = true;
  error_code ignored;
  socket().cancel(ignored);
}

template <class Stream>
void Connection<Stream>::OnBodyRead(error_code ec) {
  if (ec == asio::error::operation_aborted && server_->Stopping()) return Answer(503, false);
  if (ec == http::error::body_limit) {
    std::string().swap(parser_->get().body());  // a chunked body grew past the bound
    return Answer(413, true);
  }
  // A chunk-size line or a trailer section that does not fit the buffer.
  if (ec == http::error::buffer_overflow) return Answer(400, true);
  if (IsMalformed(ec)) return Answer(400, true);
  if (ec) return Close(false);
  const std::size_t size = parser_->get().body().size();
  if (size > held_body_) {
    if (!server_->limits().HoldBody(size - held_body_)) {
      std::string().swap(parser_->get().body());
      return Answer(503, true, kBusyText);
    }
    held_body_ = size;
  }
  ReadBody();
}

// The whole request is in.
template <class Stream>
void Connection<Stream>::OnRequest() {
  // Admitted while still counted as a body under way: a body that was
  // arriving when the stop began is served.
  admitted_ = server_->Admit(this);
  StopReadingBody();
  if (!admitted_) return Answer(503, false);
  if (const unsigned refusal = RefusalOfTrailer(*parser_, server_->request_limits)) {
    context_.keep_alive = false;  // refused: the connection goes after the answer
    return Answer(refusal, false);
  }
  ReceivedRequest& request = parser_->get();
  const std::string_view path = std::string_view(target_).substr(0, target_.find('?'));
  if (path != server_->options.script_name) return Answer(404, false);
  if (const std::optional<unsigned> wait = server_->rate().Take(client_)) {
    return Answer(server_->options.rate_limit_status, false, kTooManyText, *wait);
  }
  if (!server_->limits().StartResponse(client_)) return Answer(503, false, kBusyText);
  response_counted_ = true;
  context_.keep_alive = context_.keep_alive && !server_->Stopping();
  ConnectionFacts facts{address_, remote_port_, local_addr_, local_port_, kTls};
  InputSettings settings{server_->options.script_name, kServerSoftware,
                         &server_->options.trusted_proxies};
  std::vector<std::string> rejected;
  RequestInput input = BuildRequestInput(request, head_fields_, facts, settings, &rejected);
  for (const std::string& line : rejected) server_->Warn(line + " from " + address_);
  parser_.reset();
  ResponseTransport& transport = *this;
  extension_.emplace(std::move(input), transport, server_->options.hold_limit,
                     server_->options.available_limit);
  extension_->OnSessionDone([this](DWORD status) {
    asio::post(strand_, [self = this->shared_from_this(), status] {
      self->Guarded([&] { self->OnSessionDone(status); });
    });
  });
  state_ = State::kInModule;
  module_ = ModuleCall::kRunning;
  queue_.Begin(context_);
  Unbounded();  // the module takes the time it takes
  if (server_->TryInline()) return RunInline();
  server_->SubmitToWorkers([self = this->shared_from_this()] { self->RunExtension(); });
}

// ---------------------------------------------------------------- the module

// Worker thread: the module's call; its end goes back to the strand.
template <class Stream>
void Connection<Stream>::RunExtension() {
  DWORD result = HSE_STATUS_ERROR;
  {
    const WorkerBusyScope busy(server_->options.metrics);
    result = CallModule();
  }
  asio::post(strand_, [self = this->shared_from_this(), result] {
    self->Guarded([&] { self->OnExtensionReturned(result); });
  });
}

// The module's call on this network thread, the strand's own.
template <class Stream>
void Connection<Stream>::RunInline() {
  HoldWrites();
  const DWORD result = CallModule();
  server_->EndInline();
  OnExtensionReturned(result);
  ReleaseWrites();
}

// The module's call, on a worker or the strand. Nothing it throws goes
// further: the call failed, and what was thrown is logged once.
template <class Stream>
DWORD Connection<Stream>::CallModule() {
  const ModuleCallScope module_call(server_->options.metrics);
  std::string failure;
  try {
    return extension_->Run(server_->proc);
  } catch (const std::exception& thrown) {
    failure = thrown.what();
  } catch (...) {
    failure = "an exception of unknown type";
  }
  server_->Warn("the module's call for " + text::EscapedForLog(target_) + " failed: " + failure);
  return HSE_STATUS_ERROR;
}

template <class Stream>
void Connection<Stream>::OnExtensionReturned(DWORD result) {
  if (result != HSE_STATUS_PENDING) return FinishExtension(result);
  // Pending: the module goes on writing and ends with the session call.
  if (module_ == ModuleCall::kSessionEnded) return FinishExtension(session_status_);
  if (module_ == ModuleCall::kRunning) module_ = ModuleCall::kReturnedPending;
}

template <class Stream>
void Connection<Stream>::OnSessionDone(DWORD status) {
  if (module_ == ModuleCall::kReturnedPending) return FinishExtension(status);
  if (module_ != ModuleCall::kRunning) return;  // already finished
  module_ = ModuleCall::kSessionEnded;          // before the call has returned
  session_status_ = status;
}

template <class Stream>
void Connection<Stream>::FinishExtension(DWORD result) {
  if (module_ == ModuleCall::kNone || !extension_) return;
  module_ = ModuleCall::kNone;
  if (state_ == State::kInModule) state_ = State::kAnswering;
  HoldWrites();  // the head, the body held back and the end leave together
  extension_->Finish(result);
  ReleaseWrites();
  if (!extension_->failure().empty()) {
    server_->Warn(extension_->failure() + " for " + text::EscapedForLog(target_));
  }
  if (extension_->response().length_mismatch()) {
    server_->Warn("Content-Length written by the extension for " + text::EscapedForLog(target_) +
                  " is not the body's length; the body is sent with its own length");
  }
  // A client gone while the module still wrote: the request is over now.
  if (state_ == State::kClientGone) FinishRequest();
}

template class Connection<PlainStream>;
template class Connection<TlsStream>;

}  // namespace hosts
