// One client connection of the embedded server; see connection.h for the
// life of a request and who owns what.
#include "hosts/connection.h"

#include <array>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <future>

#include "hosts/access_log.h"
#include "hosts/host_name.h"
#include "hosts/metrics.h"
#include "text/ascii.h"

namespace hosts {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using boost::system::error_code;
using tcp = asio::ip::tcp;

namespace {

constexpr char kServerSoftware[] = "dudarovuvadu-serve";
// After an answer given before the body was read, the body is read on and
// dropped for this long and this much, so that a client that writes its
// whole body before reading gets the answer instead of a reset.
constexpr std::uint64_t kDiscardAllowance = 64u * 1024u * 1024u;
constexpr auto kDiscardTime = std::chrono::seconds(5);
// Response bytes held before a response goes out as it is written.
constexpr std::size_t kHoldLimit = 256 * 1024;

// A limit of the server's is reached: the client may try again.
constexpr std::string_view kBusyText = "The server is busy\n";

// The server's own answers.
std::string_view AnswerText(unsigned status) {
  switch (status) {
    case 400:
      return "Bad request\n";
    case 404:
      return "Not Found\n";
    case 413:
      return "Request entity was too large\n";
    case 431:
      return "Request header fields too large\n";
    default:
      return "The server is stopping\n";
  }
}

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
                               std::string address, asio::ssl::context* tls)
    : server_(server),
      strand_(std::move(strand)),
      stream_(MakeStream<Stream>(std::move(socket), tls)),
      address_(std::move(address)),
      buffer_(ReadBufferLimit(server->request_limits)) {
  error_code ignored;
  NetworkSocket& raw = beast::get_lowest_layer(stream_).socket();
  raw.set_option(tcp::no_delay(true), ignored);
  remote_port_ = std::to_string(raw.remote_endpoint(ignored).port());
  const tcp::endpoint local = raw.local_endpoint(ignored);
  local_addr_ = local.address().to_string(ignored);
  local_port_ = std::to_string(local.port());
}

template <class Stream>
Connection<Stream>::~Connection() {
  if (reading_body_) server_->RemoveBodyReader(this);
  FinishRequest();
  server_->limits.CloseConnection(address_);
  if (server_->options.metrics != nullptr) server_->options.metrics->ConnectionClosed();
}

template <class Stream>
template <class Work>
void Connection<Stream>::Guarded(Work&& work) {
  try {
    work();
  } catch (const std::exception& failure) {
    server_->Warn(std::string("connection from ") + address_ + " closed: " + failure.what());
    Close(false);
  } catch (...) {
    Close(false);
  }
}

template <class Stream>
void Connection<Stream>::Expire(std::chrono::seconds after) {
  beast::get_lowest_layer(stream_).expires_after(after);
}

template <class Stream>
void Connection<Stream>::Start() {
  if constexpr (kTls) {
    Expire(std::chrono::seconds(server_->options.header_timeout_seconds));
    stream_.async_handshake(asio::ssl::stream_base::server,
                            [self = this->shared_from_this()](error_code ec) {
                              if (ec) return;  // not TLS, or not finished in time: dropped
                              self->Guarded([&] { self->WaitForRequest(); });
                            });
  } else {
    WaitForRequest();
  }
}

// ---------------------------------------------------------------- reading

// Waits for the first byte of a request (idle timeout), then gives the whole
// head its own deadline.
template <class Stream>
void Connection<Stream>::WaitForRequest() {
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
  parser_.emplace();
  PrepareParser(*parser_, server_->request_limits);
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
    if (ec == http::error::header_limit || ec == http::error::buffer_overflow) {
      return Answer(431, true);
    }
    if (IsMalformed(ec)) return Answer(400, true);
    return Close(false);
  }
  const ReceivedRequest& request = parser_->get();
  method_.assign(request.method_string());
  target_.assign(request.target());
  context_.version = request.version() == 10 ? 10 : 11;
  context_.head_request = request.method() == http::verb::head;
  context_.keep_alive = parser_->keep_alive();
  if (server_->options.access_log != nullptr) {
    // The client and headers as received; the client as served once known.
    access_ = AccessRecord::Begin(address_, request[http::field::referer],
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
    if (!server_->limits.HoldBody(*length)) return Answer(503, true, kBusyText);
    held_body_ = *length;
  }
  if (!parser_->is_done() &&
      text::EqualsIgnoringAsciiCase(request[http::field::expect], "100-continue")) {
    static constexpr std::string_view kContinue = "HTTP/1.1 100 Continue\r\n\r\n";
    return asio::async_write(stream_, asio::buffer(kContinue.data(), kContinue.size()),
                             [self = this->shared_from_this()](error_code error, std::size_t) {
                               if (error) return self->Close(false);
                               self->Guarded([&] { self->ReadBody(); });
                             });
  }
  ReadBody();
}

template <class Stream>
void Connection<Stream>::ReadBody() {
  if (parser_->is_done()) return OnRequest();
  if (!reading_body_) {
    // A stop answers a body still coming at once, rather than wait for it.
    reading_body_ = true;
    std::weak_ptr<Connection> weak = this->shared_from_this();
    server_->AddBodyReader(this, [weak, strand = strand_, server = server_] {
      if (Self self = weak.lock()) {
        asio::post(strand, [self] { self->Guarded([&] { self->InterruptBody(); }); });
      } else {
        server->Complete();  // gone already: nothing to answer
      }
    });
  }
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
  if (!reading_body_ || closed_ || admitted_) return server_->Complete();
  admitted_ = true;
  beast::get_lowest_layer(stream_).cancel();
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
    if (!server_->limits.HoldBody(size - held_body_)) {
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
  if (reading_body_) {
    reading_body_ = false;
    server_->RemoveBodyReader(this);
  }
  if (!admitted_) return Answer(503, false);
  if (const unsigned refusal = RefusalOfTrailer(*parser_, server_->request_limits)) {
    context_.keep_alive = false;  // refused: the connection goes after the answer
    return Answer(refusal, false);
  }
  ReceivedRequest& request = parser_->get();
  const std::string_view path = std::string_view(target_).substr(0, target_.find('?'));
  if (path != server_->options.script_name) return Answer(404, false);
  if (!server_->limits.StartResponse(address_)) return Answer(503, false, kBusyText);
  response_counted_ = true;
  context_.keep_alive = context_.keep_alive && !server_->Stopping();
  ConnectionFacts facts{address_, remote_port_, local_addr_, local_port_, kTls};
  InputSettings settings{server_->options.script_name, kServerSoftware,
                         &server_->options.trusted_proxies};
  std::vector<std::string> rejected;
  RequestInput input = BuildRequestInput(request, head_fields_, facts, settings, &rejected);
  for (const std::string& line : rejected) server_->Warn(line + " from " + address_);
  if (server_->options.access_log != nullptr) {
    if (const std::string* client = input.variables.Find("REMOTE_ADDR")) {
      access_.client_address = *client;  // behind a trusted proxy: its client
    }
  }
  parser_.reset();
  ResponseTransport& transport = *this;
  extension_ = std::make_unique<ExtensionRequest>(std::move(input), transport, kHoldLimit,
                                                  server_->options.available_limit);
  extension_->OnSessionDone([this](DWORD status) {
    asio::post(strand_, [self = this->shared_from_this(), status] {
      self->Guarded([&] { self->OnSessionDone(status); });
    });
  });
  extension_finished_ = false;
  returned_ = false;
  session_status_.reset();
  queue_.Begin(context_);
  server_->workers->Submit([self = this->shared_from_this()] { self->RunExtension(); });
}

// ---------------------------------------------------------------- the module

// Worker thread: the module's call; its end goes back to the strand.
template <class Stream>
void Connection<Stream>::RunExtension() {
  DWORD result = HSE_STATUS_ERROR;
  try {
    const WorkerBusyScope busy(server_->options.metrics);
    const ModuleCallScope module_call(server_->options.metrics);
    result = extension_->Run(server_->proc);
  } catch (...) {
    // Nothing the module throws reaches the worker: its call failed.
  }
  asio::post(strand_, [self = this->shared_from_this(), result] {
    self->Guarded([&] { self->OnExtensionReturned(result); });
  });
}

template <class Stream>
void Connection<Stream>::OnExtensionReturned(DWORD result) {
  returned_ = true;
  if (result != HSE_STATUS_PENDING) return FinishExtension(result);
  // Pending: the module goes on writing and ends with the session call.
  if (session_status_) FinishExtension(*session_status_);
}

template <class Stream>
void Connection<Stream>::OnSessionDone(DWORD status) {
  session_status_ = status;
  if (returned_) FinishExtension(status);
}

template <class Stream>
void Connection<Stream>::FinishExtension(DWORD result) {
  if (extension_finished_ || !extension_) return;
  extension_finished_ = true;
  extension_->Finish(result);
  if (extension_->response().length_mismatch()) {
    server_->Warn("Content-Length written by the extension for " + EscapeForLog(target_) +
                  " is not the body's length; the body is sent with its own length");
  }
  // A client gone while the module still wrote: the request is over now.
  if (output_failed_) FinishRequest();
}

// ---------------------------------------------------------------- the transport

template <class Stream>
template <class Work>
void Connection<Stream>::OnStrand(Work&& work) {
  if (strand_.running_in_this_thread()) return work();
  asio::post(strand_, [self = this->shared_from_this(), work = std::forward<Work>(work)]() mutable {
    self->Guarded(work);
  });
}

template <class Stream>
bool Connection<Stream>::SendHead(const ResponseHead& head) {
  std::string text = queue_.HeadText(head);
  OnStrand(
      [this, text = std::move(text), status = head.status, length = head.content_length]() mutable {
        if (output_failed_) return;
        if (server_->Stopping()) queue_.CloseAfter();
        queue_.QueueHead(std::move(text), status, length);
        WriteNext();
      });
  return true;
}

template <class Stream>
bool Connection<Stream>::SendBody(std::string_view bytes) {
  if (strand_.running_in_this_thread()) {
    // The response sent whole once the module has returned: copied, and
    // written after.
    if (output_failed_) return false;
    queue_.QueueBody(bytes, nullptr);
    WriteNext();
    return true;
  }
  // A worker inside the module: the bytes are the module's until they have
  // left, so it waits (bounded by the write deadline).
  std::promise<bool> left;
  std::future<bool> done = left.get_future();
  OnStrand([this, bytes, &left] {
    if (output_failed_) return left.set_value(false);
    queue_.QueueBody(bytes, [&left](bool sent) { left.set_value(sent); });
    WriteNext();
  });
  return done.get();
}

template <class Stream>
bool Connection<Stream>::SendBodyAsync(std::string_view bytes, Sent sent) {
  asio::post(strand_, [self = this->shared_from_this(), bytes, sent = std::move(sent)]() mutable {
    self->Guarded([&] {
      if (self->output_failed_) return sent(false);
      self->queue_.QueueBody(bytes, std::move(sent));
      self->WriteNext();
    });
  });
  return true;
}

template <class Stream>
void Connection<Stream>::End(bool reusable) {
  // Called by FinishExtension, on the strand.
  if (output_failed_) return;
  queue_.QueueEnd(reusable);
  WriteNext();
}

// ---------------------------------------------------------------- writing

template <class Stream>
void Connection<Stream>::Answer(unsigned status, bool linger, std::string_view text) {
  if (text.empty()) text = AnswerText(status);
  ResponseContext context = context_;
  context.keep_alive = context.keep_alive && !linger && !server_->Stopping();
  queue_.Begin(context);
  ResponseHead head;
  head.status = status;
  head.headers.push_back({"Content-Type", "text/plain"});
  head.content_length = text.size();
  queue_.QueueHead(queue_.HeadText(head), status, head.content_length);
  queue_.QueueBody(text, nullptr);
  queue_.QueueEnd(true);
  linger_ = linger;
  WriteNext();
}

template <class Stream>
void Connection<Stream>::WriteNext() {
  if (writing_ || closed_ || queue_.empty()) return;
  ResponseQueue::Piece& piece = queue_.front();
  static constexpr std::string_view kChunkEnd = "\r\n";
  const std::array<asio::const_buffer, 3> buffers = {
      asio::buffer(piece.own), asio::buffer(piece.borrowed.data(), piece.borrowed.size()),
      asio::buffer(kChunkEnd.data(), piece.chunk_end ? kChunkEnd.size() : 0)};
  writing_ = true;
  Expire(std::chrono::seconds(server_->options.idle_timeout_seconds));
  asio::async_write(stream_, buffers,
                    [self = this->shared_from_this()](error_code ec, std::size_t) {
                      self->Guarded([&] { self->OnPieceWritten(ec); });
                    });
}

template <class Stream>
void Connection<Stream>::OnPieceWritten(error_code ec) {
  writing_ = false;
  ResponseQueue::Piece piece = std::move(queue_.front());
  queue_.pop_front();
  if (ec) {
    output_failed_ = true;
    if (piece.sent) piece.sent(false);
    queue_.Abandon();
    Close(false);
    // The request is over once the module is done with it too.
    if (extension_finished_) FinishRequest();
    return;
  }
  if (piece.sent) piece.sent(true);
  if (piece.last) return OnResponseWritten();
  WriteNext();
}

template <class Stream>
void Connection<Stream>::OnResponseWritten() {
  const bool keep = queue_.keep_alive() && !server_->Stopping();
  FinishRequest();
  if (linger_) return Linger();
  if (keep) return WaitForRequest();
  Close(true);
}

// The request is over (answered or abandoned): logged and uncounted.
template <class Stream>
void Connection<Stream>::FinishRequest() {
  if (method_ == "-" && !admitted_) return;
  server_->Log(method_, target_, queue_.status(), queue_.body_bytes(), start_);
  if (server_->options.access_log != nullptr) {
    access_.Finish(method_, target_, context_.version, queue_.status(), queue_.body_bytes(),
                   start_);
    server_->options.access_log->Record(access_);
  }
  if (server_->options.metrics != nullptr) {
    server_->options.metrics->RequestDone(queue_.status(), queue_.body_bytes(),
                                          std::chrono::duration_cast<std::chrono::microseconds>(
                                              std::chrono::steady_clock::now() - start_));
  }
  method_ = "-";
  if (response_counted_) server_->limits.EndResponse(address_);
  response_counted_ = false;
  if (held_body_ != 0) server_->limits.ReleaseBody(held_body_);
  held_body_ = 0;
  extension_.reset();
  if (admitted_) server_->Complete();
  admitted_ = false;
}

// Reads and drops what the client still sends, within a bound, so that the
// answer is read before the connection goes.
template <class Stream>
void Connection<Stream>::Linger() {
  if constexpr (!kTls) {
    error_code ignored;
    beast::get_lowest_layer(stream_).socket().shutdown(tcp::socket::shutdown_send, ignored);
  }
  parser_.reset();
  buffer_.consume(buffer_.size());
  Expire(kDiscardTime);
  Discard();
}

template <class Stream>
void Connection<Stream>::Discard() {
  stream_.async_read_some(buffer_.prepare(buffer_.max_size()),
                          [self = this->shared_from_this()](error_code ec, std::size_t read) {
                            self->discarded_ += read;
                            if (ec || self->discarded_ > kDiscardAllowance) {
                              return self->Close(false);
                            }
                            self->Discard();
                          });
}

template <class Stream>
void Connection<Stream>::Close(bool graceful) {
  if (closed_) return;
  closed_ = true;
  if (reading_body_) {
    reading_body_ = false;
    server_->RemoveBodyReader(this);
  }
  if constexpr (kTls) {
    if (graceful) {
      Expire(std::chrono::seconds(2));
      return stream_.async_shutdown([self = this->shared_from_this()](error_code) {
        error_code ignored;
        beast::get_lowest_layer(self->stream_).socket().close(ignored);
      });
    }
  }
  (void)graceful;
  error_code ignored;
  beast::get_lowest_layer(stream_).socket().shutdown(tcp::socket::shutdown_both, ignored);
  beast::get_lowest_layer(stream_).socket().close(ignored);
}

template class Connection<PlainStream>;
template class Connection<TlsStream>;

}  // namespace hosts
