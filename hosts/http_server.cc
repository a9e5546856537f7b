// The embedded HTTP server on Boost.Asio and Boost.Beast. Each connection
// lives on its own strand of the network threads: it reads a request head
// (within the head deadline), refuses ambiguous framing, reads the body
// (bounded by max_body) and hands the request to a worker. The worker runs
// the extension; a response held whole is written by the network threads
// from the buffer the extension's bytes were collected in, and a response
// too large to hold is written piece by piece as the extension writes it,
// the worker waiting for each piece to leave. The extension never touches
// the network and the network threads never wait for the extension.
#include "hosts/http_server.h"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <boost/asio/dispatch.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/v6_only.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <chrono>
#include <cstring>
#include <ctime>
#include <exception>
#include <future>
#include <limits>
#include <map>
#include <optional>
#include <string_view>

#include "hosts/access_log.h"  // operators: access log
#include "hosts/extension_request.h"
#include "hosts/metrics.h"  // operators: metrics
#include "hosts/response_split.h"
#include "hosts/worker_pool.h"
#include "text/ascii.h"
#include "text/percent_encoding.h"

namespace hosts {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;
using boost::system::error_code;
using text::EqualsIgnoringAsciiCase;
using text::ParsePlainDecimal;

namespace {

constexpr char kNotFoundText[] = "Not Found\n";
constexpr char kTooLargeText[] = "Request entity was too large\n";
constexpr char kUnavailableText[] = "The server is stopping\n";
constexpr char kBadRequestText[] = "Bad request\n";
constexpr char kHeaderTooLargeText[] = "Request header fields too large\n";
constexpr char kServerSoftware[] = "dudarovuvadu-serve";

// After an answer given before the body was read, the body is read on and
// dropped for this long and this much, so that a client that writes its
// whole body before reading gets the answer instead of a reset.
constexpr std::uint64_t kDiscardAllowance = 64u * 1024u * 1024u;
constexpr auto kDiscardTime = std::chrono::seconds(5);
// A response that grows past this is passed on as it is written.
constexpr std::size_t kStreamThreshold = 256 * 1024;
// Descriptors kept free for the extension's files and the listeners.
constexpr rlim_t kReservedDescriptors = 64;

// The URI as it may appear in the log: control bytes and non-ASCII bytes are
// written as %XX so that a request cannot forge or break log lines.
std::string LoggableUri(std::string_view uri) {
  return text::PercentEncode(uri, [](unsigned char c) { return c > 0x20 && c < 0x7F; });
}

std::string OpenSslError() {
  const unsigned long code = ERR_get_error();
  if (code == 0) return "unknown TLS library error";
  char text[256];
  ERR_error_string_n(code, text, sizeof text);
  ERR_clear_error();
  return text;
}

// A request the client got wrong (answered 400), as against a client that
// left or a network error (the connection is just closed).
bool IsMalformed(error_code ec) {
  return ec.category() == error_code(http::error::end_of_stream).category() &&
         ec != http::error::end_of_stream && ec != http::error::partial_message;
}

std::size_t DefaultMaxConnections() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return 65536;
  if (limit.rlim_cur <= 2 * kReservedDescriptors) return 16;
  return static_cast<std::size_t>(limit.rlim_cur - kReservedDescriptors);
}

// The Date field an origin server with a clock sends with every response,
// in the fixed HTTP date form; formatted at most once a second per thread.
std::string_view HttpDate() {
  thread_local std::time_t formatted = -1;
  thread_local char text[32];
  thread_local std::size_t length = 0;
  const std::time_t now = std::time(nullptr);
  if (now != formatted) {
    std::tm utc{};
    gmtime_r(&now, &utc);
    length = std::strftime(text, sizeof text, "%a, %d %b %Y %H:%M:%S GMT", &utc);
    formatted = now;
  }
  return {text, length};
}

}  // namespace

// The network side: listeners, TLS context, connection counts, the requests
// admitted, and the workers. Connections point here; it outlives them, as
// the I/O context that holds their handlers is its last member.
struct HttpServer::State {
  State(const ServerOptions& server_options, PFN_HTTPEXTENSIONPROC extension, std::FILE* log_file)
      : options(server_options), proc(extension), log(log_file) {}

  // Counts a new connection from `address`; false when a limit is reached.
  bool OpenConnection(const std::string& address) {
    std::lock_guard<std::mutex> lock(connections_mutex);
    if (connections >= max_connections) return Refused(Metrics::Limit::kMaxConnections);
    std::size_t& count = per_address[address];
    if (count >= options.per_address_connections) return Refused(Metrics::Limit::kPerAddress);
    ++count;
    ++connections;
    if (options.metrics) options.metrics->ConnectionOpened();  // operators: metrics
    return true;
  }

  // operators: metrics of a connection refused by `limit`; false.
  bool Refused(Metrics::Limit limit) const {
    if (options.metrics) options.metrics->ConnectionRefused(limit);
    return false;
  }

  void CloseConnection(const std::string& address) {
    std::lock_guard<std::mutex> lock(connections_mutex);
    const auto found = per_address.find(address);
    if (found != per_address.end() && --found->second == 0) per_address.erase(found);
    --connections;
    if (options.metrics) options.metrics->ConnectionClosed();  // operators: metrics
  }

  // A request whose head is in: served unless the stop has begun.
  bool Admit() {
    std::lock_guard<std::mutex> lock(active_mutex);
    if (stopping) return false;
    ++active_requests;
    return true;
  }

  void Complete() {
    std::lock_guard<std::mutex> lock(active_mutex);
    --active_requests;
    active_changed.notify_all();
  }

  bool Stopping() {
    std::lock_guard<std::mutex> lock(active_mutex);
    return stopping;
  }

  void Log(std::string_view method, std::string_view uri, unsigned status, std::uint64_t bytes,
           Clock::time_point start) {
    if (options.quiet || log == nullptr) return;
    const double milliseconds =
        std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    const std::string status_text = status != 0 ? std::to_string(status) : "-";
    const std::string method_text = LoggableUri(method);
    const std::string uri_text = LoggableUri(uri);
    std::lock_guard<std::mutex> lock(log_mutex);
    std::fprintf(log, "%s %s %s %llu %.1fms\n", method_text.c_str(), uri_text.c_str(),
                 status_text.c_str(), static_cast<unsigned long long>(bytes), milliseconds);
    std::fflush(log);
  }

  void Accept(std::size_t index);

  const ServerOptions options;
  const PFN_HTTPEXTENSIONPROC proc;
  std::FILE* const log;
  std::size_t max_connections = 0;
  std::optional<asio::ssl::context> tls;
  std::unique_ptr<WorkerPool> workers;

  std::mutex active_mutex;
  std::condition_variable active_changed;
  bool stopping = false;
  std::size_t active_requests = 0;

  std::mutex connections_mutex;
  std::size_t connections = 0;
  std::map<std::string, std::size_t> per_address;

  std::mutex log_mutex;

  asio::io_context io;
  // Keeps the network threads running while a request is on a worker.
  std::optional<asio::executor_work_guard<asio::io_context::executor_type>> work;
  std::vector<Listener> listeners;
  std::vector<std::unique_ptr<tcp::acceptor>> acceptors;
};

namespace {

// One connection; `StreamType` is beast::tcp_stream or a TLS stream over it.
template <class StreamType>
class Connection : public std::enable_shared_from_this<Connection<StreamType>>,
                   public ResponseSink {
 public:
  using Parser = http::request_parser<http::string_body>;
  using Response = http::response<http::buffer_body>;

  template <class... Args>
  Connection(HttpServer::State* state, std::string address, bool tls, tcp::socket& socket,
             Args&&... args)
      : state_(state),
        address_(std::move(address)),
        tls_(tls),
        stream_(std::move(socket), std::forward<Args>(args)...) {
    error_code ignored;
    beast::get_lowest_layer(stream_).socket().set_option(tcp::no_delay(true), ignored);
    const tcp::endpoint remote = beast::get_lowest_layer(stream_).socket().remote_endpoint(ignored);
    const tcp::endpoint local = beast::get_lowest_layer(stream_).socket().local_endpoint(ignored);
    remote_port_ = std::to_string(remote.port());
    local_addr_ = local.address().to_string(ignored);
    local_port_ = std::to_string(local.port());
  }

  ~Connection() override {
    FinishRequest();
    state_->CloseConnection(address_);
  }

  void Start() {
    if constexpr (kTls) {
      Expire(state_->options.header_timeout_seconds);
      stream_.async_handshake(asio::ssl::stream_base::server,
                              [self = this->shared_from_this()](error_code ec) {
                                if (ec) return;  // not TLS, or not finished in time: dropped
                                self->WaitForRequest();
                              });
    } else {
      WaitForRequest();
    }
  }

  // Worker thread: passes response bytes on, waiting for each piece to go.
  bool Stream(std::string_view held, std::string_view bytes) override {
    if (!stream_started_) {
      stream_started_ = true;
      // The header block ends in the held bytes or early in these.
      std::string head(held);
      head.append(bytes.substr(0, std::min(bytes.size(), state_->options.max_header_bytes)));
      const SplitResponse split = SplitResponseStream(head);
      if (!PrepareResponse(extension_->StatusCode(), split, std::nullopt)) return false;
      if (split.declared_length) {
        declared_length_ = split.declared_length;
        response_.content_length(*split.declared_length);
      } else if (http_version_ >= 11) {
        response_.chunked(true);
      } else {
        response_.keep_alive(false);  // the close marks the end
      }
      if (split.body_offset <= held.size()) {
        if (!StreamPiece(held.substr(split.body_offset))) return false;
        return StreamPiece(bytes);
      }
      return StreamPiece(bytes.substr(split.body_offset - held.size()));
    }
    return StreamPiece(bytes);
  }

 private:
  static constexpr bool kTls = !std::is_same_v<StreamType, beast::tcp_stream>;

  void Expire(unsigned seconds) {
    beast::get_lowest_layer(stream_).expires_after(std::chrono::seconds(seconds));
  }

  // Waits for the first byte of a request (idle timeout), then gives the
  // whole head its own deadline.
  void WaitForRequest() {
    if (buffer_.size() != 0) return ReadHeader();
    Expire(state_->options.idle_timeout_seconds);
    stream_.async_read_some(buffer_.prepare(8192),
                            [self = this->shared_from_this()](error_code ec, std::size_t read) {
                              self->buffer_.commit(read);
                              if (ec) return self->Close(false);
                              self->ReadHeader();
                            });
  }

  void ReadHeader() {
    parser_.emplace();
    parser_->header_limit(static_cast<std::uint32_t>(state_->options.max_header_bytes));
    // Checked once the head is in.
    parser_->body_limit(std::numeric_limits<std::uint64_t>::max());
    Expire(state_->options.header_timeout_seconds);
    http::async_read_header(
        stream_, buffer_, *parser_,
        [self = this->shared_from_this()](error_code ec, std::size_t) { self->OnHeader(ec); });
  }

  void OnHeader(error_code ec) {
    start_ = Clock::now();
    if (ec) {
      if (ec == http::error::header_limit) {
        return Refuse(431, kHeaderTooLargeText, sizeof kHeaderTooLargeText - 1);
      }
      if (IsMalformed(ec)) return Refuse(400, kBadRequestText, sizeof kBadRequestText - 1);
      return Close(false);
    }
    const auto& request = parser_->get();
    method_ = std::string(request.method_string());
    target_ = std::string(request.target());
    http_version_ = request.version();
    // operators: access log, the client and headers as received.
    access_ = AccessRecord::Begin(address_, request[http::field::referer],
                                  request[http::field::user_agent]);
    admitted_ = state_->Admit();
    if (!admitted_) {
      return Refuse(503, kUnavailableText, sizeof kUnavailableText - 1);
    }
    if (RefusedHead()) return;
    parser_->body_limit(state_->options.max_body);
    const std::string_view path = std::string_view(target_).substr(0, target_.find('?'));
    not_found_ = path != state_->options.script_name;
    if (!parser_->is_done() &&
        EqualsIgnoringAsciiCase(request[http::field::expect], "100-continue")) {
      continue_.emplace(http::status::continue_, 11);
      return http::async_write(stream_, *continue_,
                               [self = this->shared_from_this()](error_code error, std::size_t) {
                                 self->continue_.reset();
                                 if (error) return self->Close(false);
                                 self->ReadBody();
                               });
    }
    ReadBody();
  }

  // Refuses a head with too many fields (431), with framing a proxy in front
  // could read differently (400) or with a declared body over the bound
  // (413). True when it was refused.
  bool RefusedHead() {
    std::size_t fields = 0;
    std::size_t lengths = 0;
    std::size_t encodings = 0;
    for (const auto& field : parser_->get()) {
      ++fields;
      if (field.name() == http::field::content_length) {
        ++lengths;
        if (!ParsePlainDecimal(field.value())) lengths = 2;
      } else if (field.name() == http::field::transfer_encoding) {
        ++encodings;
        if (!EqualsIgnoringAsciiCase(field.value(), "chunked")) encodings = 2;
      }
    }
    if (fields > state_->options.max_header_fields) {
      Refuse(431, kHeaderTooLargeText, sizeof kHeaderTooLargeText - 1);
      return true;
    }
    if (lengths > 1 || encodings > 1 || (lengths != 0 && encodings != 0)) {
      Refuse(400, kBadRequestText, sizeof kBadRequestText - 1);
      return true;
    }
    if (const auto length = parser_->content_length();
        length && *length > state_->options.max_body) {
      Refuse(413, kTooLargeText, sizeof kTooLargeText - 1);
      return true;
    }
    return false;
  }

  void ReadBody() {
    if (parser_->is_done()) return OnRequest();
    Expire(state_->options.idle_timeout_seconds);
    http::async_read_some(stream_, buffer_, *parser_,
                          [self = this->shared_from_this()](error_code ec, std::size_t) {
                            if (ec == http::error::body_limit) {
                              // A chunked body grew past the bound.
                              std::string().swap(self->parser_->get().body());
                              return self->Refuse(413, kTooLargeText, sizeof kTooLargeText - 1);
                            }
                            if (IsMalformed(ec)) {
                              return self->Refuse(400, kBadRequestText, sizeof kBadRequestText - 1);
                            }
                            if (ec) return self->Close(false);
                            self->ReadBody();
                          });
  }

  // The whole request is in.
  void OnRequest() {
    if (not_found_) {
      parser_->get().body().clear();
      return Answer(404, kNotFoundText, sizeof kNotFoundText - 1, parser_->keep_alive(), false);
    }
    keep_alive_ = parser_->keep_alive();
    head_request_ = parser_->get().method() == http::verb::head;
    auto input = std::make_shared<RequestInput>();
    try {
      FillInput(input.get());
    } catch (const std::exception&) {
      return Close(false);
    }
    parser_.reset();
    state_->workers->Submit(
        [self = this->shared_from_this(), input] { self->RunExtension(std::move(*input)); });
  }

  void FillInput(RequestInput* input) {
    auto& request = parser_->get();
    input->method = method_;
    const std::size_t question = target_.find('?');
    if (question != std::string::npos) input->query = target_.substr(question + 1);
    input->path_info = target_.substr(0, question);
    input->content_type = std::string(request[http::field::content_type]);
    input->body = std::move(request.body());
    ServerVariables& variables = input->variables;
    for (const auto& field : request) {
      variables.AddRequestHeader(field.name_string(), field.value());
    }
    const std::string server_name = ServerNameOf(request[http::field::host], local_addr_);
    RequestFacts facts;
    facts.remote_addr = address_;
    facts.remote_port = remote_port_;
    facts.local_addr = local_addr_;
    facts.server_name = server_name;
    facts.server_port = local_port_;
    facts.tls = tls_;
    facts.protocol = http_version_ == 10 ? "HTTP/1.0" : "HTTP/1.1";
    facts.software = kServerSoftware;
    facts.method = method_;
    facts.script_name = state_->options.script_name;
    facts.path = input->path_info;
    facts.query = input->query;
    facts.content_type = input->content_type;
    variables.SetRequestVariables(facts);
    // The length of the body as received, declared or chunked.
    variables.Set("CONTENT_LENGTH", std::to_string(input->body.size()));
    // Behind a trusted reverse proxy: the client's side as the proxy saw it.
    for (const std::string& line :
         ApplyForwardedRequest(state_->options.trusted_proxies, &variables)) {
      std::fprintf(stderr, "%s: %s from %s\n", kServerSoftware, line.c_str(), address_.c_str());
    }
    // operators: access log, the client as served (forwarded by a trusted proxy).
    if (const std::string* client = variables.Find("REMOTE_ADDR")) access_.client_address = *client;
  }

  // Worker thread.
  void RunExtension(RequestInput input) {
    const WorkerBusyScope busy(state_->options.metrics);  // operators: metrics
    bool answered = false;
    try {
      ExtensionRequest extension(std::move(input), state_->options.available_limit);
      extension.SetSink(this, kStreamThreshold);
      extension_ = &extension;
      {
        const ModuleCallScope module_call(state_->options.metrics);  // operators: metrics
        extension.Run(state_->proc);
      }
      extension_ = nullptr;
      const bool keep = extension.KeepConnection() && keep_alive_ && !state_->Stopping();
      if (extension.streamed()) {
        FinishStream(keep);
        return;
      }
      whole_ = std::make_unique<std::string>(extension.TakeStream());
      const SplitResponse split = SplitResponseStream(*whole_);
      const std::size_t body_size = whole_->size() - split.body_offset;
      if (split.content_length_mismatch) {
        std::fprintf(stderr,
                     "%s: Content-Length written by the extension for %s is not the "
                     "body's length %zu; the body is sent with its own length\n",
                     kServerSoftware, LoggableUri(target_).c_str(), body_size);
      }
      if (PrepareResponse(extension.StatusCode(), split, keep)) {
        response_.content_length(body_size);
        SetBody(whole_->data() + split.body_offset, head_request_ ? 0 : body_size, false);
        sent_bytes_ = head_request_ ? 0 : body_size;
        answered = true;
      }
    } catch (const std::exception&) {
      extension_ = nullptr;
    }
    if (!answered) {
      whole_.reset();
      response_ = Response();
      response_.version(11);
      response_.result(http::status::internal_server_error);
      response_.set(http::field::date, HttpDate());
      response_.content_length(0);
      response_.keep_alive(false);
      SetBody(nullptr, 0, false);
      sent_bytes_ = 0;
    }
    status_ = response_.result_int();
    asio::post(stream_.get_executor(), [self = this->shared_from_this()] { self->WriteWhole(); });
  }

  // The response's status line and the extension's header lines. Builds a
  // fresh response; false when it cannot be built.
  bool PrepareResponse(unsigned status, const SplitResponse& split, std::optional<bool> keep) {
    try {
      response_ = Response();
      response_.version(11);
      response_.result(status);
      if (response_.reason() == "<unknown-status>") response_.reason("Unknown");
      for (const ResponseHeader& header : split.headers) {
        response_.insert(header.name, header.value);
      }
      if (response_.find(http::field::date) == response_.end()) {
        response_.set(http::field::date, HttpDate());
      }
      response_.keep_alive(keep.value_or(keep_alive_ && !state_->Stopping()));
      status_ = status;
      return true;
    } catch (const std::exception&) {
      return false;
    }
  }

  void SetBody(const char* data, std::size_t size, bool more) {
    response_.body().data = const_cast<char*>(data);
    response_.body().size = size;
    response_.body().more = more;
  }

  // Network thread: the response held whole, in one gathered write.
  void WriteWhole() {
    serializer_.emplace(response_);
    Expire(state_->options.idle_timeout_seconds);
    http::async_write(stream_, *serializer_,
                      [self = this->shared_from_this()](error_code ec, std::size_t) {
                        const bool keep = self->response_.keep_alive();
                        self->serializer_.reset();
                        self->whole_.reset();
                        self->FinishRequest();
                        if (ec) return self->Close(false);
                        if (keep) return self->WaitForRequest();
                        self->Close(true);
                      });
  }

  // Worker thread: writes one piece through the network threads and waits.
  bool WriteOnNetwork(const char* data, std::size_t size, bool more) {
    std::unique_lock<std::mutex> lock(sink_mutex_);
    piece_done_ = false;
    lock.unlock();
    asio::dispatch(stream_.get_executor(), [this, data, size, more] {
      if (!serializer_) serializer_.emplace(response_);
      SetBody(data, size, more);
      Expire(state_->options.idle_timeout_seconds);
      http::async_write(stream_, *serializer_, [this](error_code ec, std::size_t) {
        if (ec == http::error::need_buffer) ec = {};
        std::lock_guard<std::mutex> guard(sink_mutex_);
        piece_ok_ = !ec;
        piece_done_ = true;
        piece_written_.notify_all();
      });
    });
    lock.lock();
    // Bounded: every write has the idle deadline, after which it fails.
    piece_written_.wait(lock, [this] { return piece_done_; });
    return piece_ok_;
  }

  bool StreamPiece(std::string_view bytes) {
    if (!stream_ok_) return false;
    std::size_t size = bytes.size();
    if (declared_length_) {
      const std::uint64_t room = *declared_length_ - std::min(*declared_length_, sent_bytes_);
      if (size > room) {
        size = static_cast<std::size_t>(room);
        overrun_ = true;  // more than the extension declared: cut, then closed
      }
    }
    sent_bytes_ += bytes.size();
    if (head_request_ || size == 0) return true;
    stream_ok_ = WriteOnNetwork(bytes.data(), size, true);
    return stream_ok_;
  }

  // Worker thread: ends a response passed on as written.
  void FinishStream(bool keep) {
    const bool whole_length = !declared_length_ || (*declared_length_ == sent_bytes_ && !overrun_);
    if (stream_ok_) {
      if (head_request_) {
        if (!declared_length_) {
          response_.chunked(false);
          response_.content_length(sent_bytes_);
        }
        stream_ok_ = WriteOnNetwork(nullptr, 0, false);
      } else {
        stream_ok_ = WriteOnNetwork(nullptr, 0, false);
      }
    }
    const bool close = !stream_ok_ || !keep || !whole_length || !response_.keep_alive();
    if (!head_request_ && declared_length_) sent_bytes_ = std::min(sent_bytes_, *declared_length_);
    asio::post(stream_.get_executor(), [self = this->shared_from_this(), close] {
      self->serializer_.reset();
      self->FinishRequest();
      if (close) return self->Close(self->stream_ok_);
      self->stream_started_ = false;
      self->declared_length_.reset();
      self->overrun_ = false;
      self->stream_ok_ = true;
      self->WaitForRequest();
    });
  }

  // An answer of the server's own, text/plain.
  void Answer(unsigned status, const char* text, std::size_t size, bool keep, bool linger) {
    response_ = Response();
    response_.version(11);
    response_.result(status);
    response_.set(http::field::content_type, "text/plain");
    response_.set(http::field::date, HttpDate());
    response_.content_length(size);
    const bool head =
        parser_ && parser_->is_header_done() && parser_->get().method() == http::verb::head;
    SetBody(text, head ? 0 : size, false);
    response_.keep_alive(keep && !linger && !state_->Stopping());
    status_ = status;
    sent_bytes_ = head ? 0 : size;
    serializer_.emplace(response_);
    Expire(state_->options.idle_timeout_seconds);
    http::async_write(stream_, *serializer_,
                      [self = this->shared_from_this(), linger](error_code ec, std::size_t) {
                        const bool keep_open = self->response_.keep_alive();
                        self->serializer_.reset();
                        self->FinishRequest();
                        if (ec) return self->Close(false);
                        if (linger) return self->Linger();
                        if (keep_open) return self->WaitForRequest();
                        self->Close(true);
                      });
  }

  // An answer before the body, then the connection is closed.
  void Refuse(unsigned status, const char* text, std::size_t size) {
    Answer(status, text, size, false, true);
  }

  // Reads and drops what the client still sends, within a bound, so that the
  // answer is read before the connection goes.
  void Linger() {
    if constexpr (!kTls) {
      error_code ignored;
      beast::get_lowest_layer(stream_).socket().shutdown(tcp::socket::shutdown_send, ignored);
    }
    parser_.reset();
    buffer_.consume(buffer_.size());
    beast::get_lowest_layer(stream_).expires_after(kDiscardTime);
    Discard();
  }

  void Discard() {
    stream_.async_read_some(buffer_.prepare(64 * 1024),
                            [self = this->shared_from_this()](error_code ec, std::size_t read) {
                              self->discarded_ += read;
                              if (ec || self->discarded_ > kDiscardAllowance)
                                return self->Close(false);
                              self->Discard();
                            });
  }

  void Close(bool graceful) {
    FinishRequest();
    if constexpr (kTls) {
      if (graceful) {
        Expire(2);
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

  // The request is over (answered or abandoned): logged and uncounted.
  void FinishRequest() {
    if (!admitted_) return;
    admitted_ = false;
    try {
      state_->Log(method_, target_, status_, sent_bytes_, start_);
      // operators: access log and metrics of the request just over.
      access_.Finish(method_, target_, http_version_, status_, sent_bytes_, start_);
      if (state_->options.access_log) state_->options.access_log->Record(access_);
      if (state_->options.metrics) {
        state_->options.metrics->RequestDone(status_, sent_bytes_, access_.duration);
      }
    } catch (const std::exception&) {
      // A log line that cannot be formatted is skipped; the request is done.
    }
    status_ = 0;
    sent_bytes_ = 0;
    state_->Complete();
  }

  HttpServer::State* const state_;
  const std::string address_;
  const bool tls_;
  StreamType stream_;
  std::string remote_port_;
  std::string local_addr_;
  std::string local_port_;
  beast::flat_buffer buffer_;
  std::optional<Parser> parser_;
  std::optional<http::response<http::empty_body>> continue_;

  // The request in hand.
  bool admitted_ = false;
  bool not_found_ = false;
  bool keep_alive_ = false;
  bool head_request_ = false;
  unsigned http_version_ = 11;
  std::string method_ = "-";
  std::string target_;
  Clock::time_point start_ = Clock::now();
  unsigned status_ = 0;
  std::uint64_t sent_bytes_ = 0;
  std::uint64_t discarded_ = 0;
  AccessRecord access_;  // operators: access log

  // The response.
  Response response_;
  std::optional<http::response_serializer<http::buffer_body>> serializer_;
  std::unique_ptr<std::string> whole_;
  ExtensionRequest* extension_ = nullptr;
  bool stream_started_ = false;
  bool stream_ok_ = true;
  bool overrun_ = false;
  std::optional<std::uint64_t> declared_length_;
  std::mutex sink_mutex_;
  std::condition_variable piece_written_;
  bool piece_done_ = false;
  bool piece_ok_ = false;
};

}  // namespace

void HttpServer::State::Accept(std::size_t index) {
  tcp::acceptor& acceptor = *acceptors[index];
  acceptor.async_accept(asio::make_strand(io), [this, index](error_code ec, tcp::socket socket) {
    if (ec == asio::error::operation_aborted || !acceptors[index]->is_open()) return;
    if (ec) {
      // Out of descriptors or memory: wait a little rather than spin.
      auto timer = std::make_shared<asio::steady_timer>(io, std::chrono::milliseconds(100));
      timer->async_wait([this, index, timer](error_code) {
        if (acceptors[index]->is_open()) Accept(index);
      });
      return;
    }
    error_code ignored;
    const std::string address = socket.remote_endpoint(ignored).address().to_string(ignored);
    if (!OpenConnection(address)) {
      socket.close(ignored);  // over a limit: refused at once
    } else {
      try {
        if (listeners[index].tls) {
          std::make_shared<Connection<beast::ssl_stream<beast::tcp_stream>>>(this, address, true,
                                                                             socket, *tls)
              ->Start();
        } else {
          std::make_shared<Connection<beast::tcp_stream>>(this, address, false, socket)->Start();
        }
      } catch (const std::exception&) {
        CloseConnection(address);
      }
    }
    Accept(index);
  });
}

bool ParseListener(const std::string& text, Listener* listener, std::string* error) {
  std::string_view rest = text;
  constexpr std::string_view kHttps = "https://";
  listener->tls = rest.substr(0, kHttps.size()) == kHttps;
  if (listener->tls) rest.remove_prefix(kHttps.size());
  const std::size_t colon = rest.rfind(':');
  if (colon == std::string::npos || colon == 0) {
    *error = "--listen wants ADDR:PORT or https://ADDR:PORT, got \"" + text + "\"";
    return false;
  }
  std::string address(rest.substr(0, colon));
  if (address.size() >= 2 && address.front() == '[' && address.back() == ']') {
    address = address.substr(1, address.size() - 2);
  }
  const std::optional<std::uint64_t> port = ParsePlainDecimal(rest.substr(colon + 1));
  if (!port || *port > 65535) {
    *error = "--listen: bad port in \"" + text + "\"";
    return false;
  }
  in6_addr probe6;
  in_addr probe4;
  if (inet_pton(AF_INET, address.c_str(), &probe4) != 1 &&
      inet_pton(AF_INET6, address.c_str(), &probe6) != 1) {
    *error = "--listen: \"" + address + "\" is not a numeric IPv4 or IPv6 address";
    return false;
  }
  listener->address = address;
  listener->port = static_cast<std::uint16_t>(*port);
  return true;
}

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
  }
}

std::uint16_t HttpServer::port(std::size_t listener) const {
  return listener < bound_.size() ? bound_[listener].port : 0;
}

namespace {

// The TLS context of the server's listeners: TLS 1.2 and 1.3 only, the
// given cipher list, the certificate chain and its key, checked as a pair.
bool MakeTlsContext(const ServerOptions& options, std::optional<asio::ssl::context>* context,
                    std::string* error) {
  if (options.tls_cert.empty() || options.tls_key.empty()) {
    *error = "an https:// listener needs --tls-cert and --tls-key";
    return false;
  }
  context->emplace(asio::ssl::context::tls_server);
  asio::ssl::context& tls = **context;
  tls.set_options(asio::ssl::context::default_workarounds | asio::ssl::context::no_sslv2 |
                  asio::ssl::context::no_sslv3 | asio::ssl::context::no_tlsv1 |
                  asio::ssl::context::no_tlsv1_1 | asio::ssl::context::single_dh_use);
  SSL_CTX* native = tls.native_handle();
  SSL_CTX_set_min_proto_version(native, TLS1_2_VERSION);
  if (SSL_CTX_set_cipher_list(native, options.tls_ciphers.c_str()) != 1) {
    *error = "--tls-ciphers \"" + options.tls_ciphers + "\": " + OpenSslError();
    return false;
  }
  error_code ec;
  tls.use_certificate_chain_file(options.tls_cert, ec);
  if (ec) {
    *error = "--tls-cert " + options.tls_cert + ": " + ec.message();
    return false;
  }
  tls.use_private_key_file(options.tls_key, asio::ssl::context::pem, ec);
  if (ec) {
    *error = "--tls-key " + options.tls_key + ": " + ec.message();
    return false;
  }
  if (SSL_CTX_check_private_key(native) != 1) {
    *error = "--tls-key " + options.tls_key + " does not match --tls-cert " + options.tls_cert +
             ": " + OpenSslError();
    return false;
  }
  struct stat key_status {};
  if (stat(options.tls_key.c_str(), &key_status) == 0 && (key_status.st_mode & S_IROTH) != 0) {
    std::fprintf(stderr, "%s: warning: the TLS key %s is readable by every user\n", kServerSoftware,
                 options.tls_key.c_str());
  }
  return true;
}

}  // namespace

bool HttpServer::Start(std::string* error) {
  if (started_) return true;
  auto state = std::make_unique<State>(options_, proc_, log_);
  state->max_connections =
      options_.max_connections != 0 ? options_.max_connections : DefaultMaxConnections();
  bool any_tls = false;
  for (const Listener& listener : options_.listeners) any_tls = any_tls || listener.tls;
  if (any_tls && !MakeTlsContext(options_, &state->tls, error)) return false;

  for (const Listener& listener : options_.listeners) {
    error_code ec;
    const asio::ip::address address = asio::ip::make_address(listener.address, ec);
    if (ec) {
      *error = "\"" + listener.address + "\" is not a numeric address";
      return false;
    }
    auto acceptor = std::make_unique<tcp::acceptor>(state->io);
    const tcp::endpoint endpoint(address, listener.port);
    acceptor->open(endpoint.protocol(), ec);
    if (!ec) acceptor->set_option(asio::socket_base::reuse_address(true), ec);
    if (!ec && address.is_v6()) acceptor->set_option(asio::ip::v6_only(true), ec);
    if (!ec) acceptor->bind(endpoint, ec);
    if (!ec) acceptor->listen(asio::socket_base::max_listen_connections, ec);
    if (ec) {
      *error = "cannot listen on " + listener.address + ":" + std::to_string(listener.port) + ": " +
               ec.message();
      return false;
    }
    Listener bound = listener;
    bound.port = acceptor->local_endpoint(ec).port();
    state->listeners.push_back(bound);
    state->acceptors.push_back(std::move(acceptor));
  }
  bound_ = state->listeners;
  state->workers = std::make_unique<WorkerPool>(options_.threads, options_.max_threads);
  for (std::size_t i = 0; i < state->acceptors.size(); ++i) state->Accept(i);
  unsigned threads = options_.network_threads;
  if (threads == 0) threads = std::max(1u, std::thread::hardware_concurrency());
  state->work.emplace(state->io.get_executor());
  state_ = std::move(state);
  State* running = state_.get();
  for (unsigned i = 0; i < threads; ++i) {
    network_threads_.emplace_back([running] { running->io.run(); });
  }
  started_ = true;
  return true;
}

bool HttpServer::Stop() {
  if (stopped_) return drained_;
  if (!started_) return true;
  State& state = *state_;
  {
    std::lock_guard<std::mutex> lock(state.active_mutex);
    state.stopping = true;
  }
  // Stop accepting: the listening sockets are closed; open connections stay.
  std::promise<void> closed;
  std::future<void> done = closed.get_future();
  asio::post(state.io, [&state, &closed] {
    for (auto& acceptor : state.acceptors) {
      error_code ignored;
      acceptor->close(ignored);
    }
    closed.set_value();
  });
  done.wait();
  std::unique_lock<std::mutex> lock(state.active_mutex);
  drained_ =
      state.active_changed.wait_for(lock, std::chrono::seconds(options_.drain_timeout_seconds),
                                    [&state] { return state.active_requests == 0; });
  lock.unlock();
  stopped_ = true;
  if (!drained_) return false;
  // Nothing admitted is left: the idle connections are closed with the
  // network side.
  state.work.reset();
  state.io.stop();
  for (std::thread& thread : network_threads_) thread.join();
  network_threads_.clear();
  state.workers.reset();
  state_.reset();
  return true;
}

}  // namespace hosts
