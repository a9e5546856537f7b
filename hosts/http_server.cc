// The embedded HTTP server on libmicrohttpd. The library's thread receives a
// request and its whole body (bounded by max_body), then suspends the
// connection and queues the request to a worker; the worker runs the
// extension, builds the response and resumes the connection, and the
// library's thread queues the response. The library never waits for the
// extension and the extension never touches the network.
#include "hosts/http_server.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <exception>
#include <optional>

#include "hosts/extension_request.h"
#include "hosts/response_split.h"
#include "hosts/worker_pool.h"

namespace hosts {

namespace {

using Clock = std::chrono::steady_clock;

constexpr char kNotFoundText[] = "Not Found\n";
constexpr char kTooLargeText[] = "Request entity was too large\n";
constexpr char kUnavailableText[] = "The server is stopping\n";
constexpr char kServerSoftware[] = "dudarovuvadu-serve";

// Past max_body a body is read on and dropped, so that the client can read
// the 413 answer; past this much more the connection is closed instead.
constexpr std::uint64_t kDiscardAllowance = 64u * 1024u * 1024u;

std::optional<std::uint64_t> ParseDecimal(std::string_view text) {
  if (text.empty() || text.size() > 19) return std::nullopt;
  std::uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
  }
  return value;
}

// Numeric address and port of a socket address.
bool DescribeAddress(const sockaddr* address, std::string* host, std::string* port) {
  char text[INET6_ADDRSTRLEN] = {};
  if (address == nullptr) return false;
  if (address->sa_family == AF_INET) {
    sockaddr_in v4;
    std::memcpy(&v4, address, sizeof v4);
    if (inet_ntop(AF_INET, &v4.sin_addr, text, sizeof text) == nullptr) return false;
    *port = std::to_string(ntohs(v4.sin_port));
  } else if (address->sa_family == AF_INET6) {
    sockaddr_in6 v6;
    std::memcpy(&v6, address, sizeof v6);
    if (inet_ntop(AF_INET6, &v6.sin6_addr, text, sizeof text) == nullptr) return false;
    *port = std::to_string(ntohs(v6.sin6_port));
  } else {
    return false;
  }
  *host = text;
  return true;
}

// The name part of a Host header ("portal.example:8080" -> "portal.example",
// "[::1]:80" -> "[::1]"). The module writes SERVER_NAME into the pages and
// URLs it builds, so only the characters of a host name or address literal
// are accepted; anything else gives nothing and the listen address is used.
std::string HostName(std::string_view host) {
  std::string_view name = host;
  if (!name.empty() && name.front() == '[') {
    const std::size_t close = name.find(']');
    if (close == std::string_view::npos) return {};
    name = name.substr(0, close + 1);
  } else if (const std::size_t colon = name.find(':'); colon != std::string_view::npos) {
    name = name.substr(0, colon);
  }
  if (name.empty() || name.size() > 255) return {};
  for (char c : name) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    c == '-' || c == '.' || c == '_' || c == '[' || c == ']' || c == ':';
    if (!ok) return {};
  }
  return std::string(name);
}

// The URI as it may appear in the log: control bytes and non-ASCII bytes are
// written as %XX so that a request cannot forge or break log lines.
std::string LoggableUri(const std::string& uri) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(uri.size());
  for (unsigned char c : uri) {
    if (c <= 0x20 || c >= 0x7F) {
      text += '%';
      text += kHex[c >> 4];
      text += kHex[c & 0xF];
    } else {
      text += static_cast<char>(c);
    }
  }
  return text;
}

void DeleteString(void* text) { delete static_cast<std::string*>(text); }

MHD_Response* FixedResponse(const char* text, std::size_t size) {
  MHD_Response* response =
      MHD_create_response_from_buffer(size, const_cast<char*>(text), MHD_RESPMEM_PERSISTENT);
  if (response != nullptr) {
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, "text/plain");
  }
  return response;
}

}  // namespace

struct HttpServer::Request {
  enum class Phase { kHeaders, kBody, kRunning, kAnswered };

  HttpServer* server = nullptr;
  MHD_Connection* connection = nullptr;
  std::string uri;  // raw, as received (the query string is cut from it)
  Clock::time_point start = Clock::now();
  bool admitted = false;  // arrived before the stop began: it is served
  Phase phase = Phase::kHeaders;
  std::string method = "-";
  bool too_large = false;
  std::uint64_t received = 0;
  // An answer decided from the headers alone (404, 503), sent once the
  // request has been read, so the connection can carry the next request.
  struct FixedAnswer {
    unsigned status;
    const char* text;
    std::size_t size;
    bool close;
  };
  std::optional<FixedAnswer> fixed_answer;
  RequestInput input;
  // Built by the worker, queued by the library's thread after the resume.
  MHD_Response* response = nullptr;
  unsigned status = 0;
  std::size_t body_bytes = 0;
};

// The library's callbacks; they run on its thread only.
struct ServerCallbacks {
  using Request = HttpServer::Request;

  static void* OnRequestLine(void* cls, const char* uri, MHD_Connection* connection) {
    auto* server = static_cast<HttpServer*>(cls);
    Request* request = nullptr;
    try {
      request = new Request();
      request->server = server;
      request->connection = connection;
      request->uri = uri != nullptr ? uri : "";
    } catch (const std::exception&) {
      delete request;
      return nullptr;  // the access handler then drops the connection
    }
    std::lock_guard<std::mutex> lock(server->active_mutex_);
    request->admitted = !server->stopping_;
    if (request->admitted) ++server->active_requests_;
    return request;
  }

  static void OnCompleted(void* cls, MHD_Connection*, void** con_cls, MHD_RequestTerminationCode) {
    auto* server = static_cast<HttpServer*>(cls);
    auto* request = static_cast<Request*>(*con_cls);
    if (request == nullptr) return;
    *con_cls = nullptr;
    try {
      server->LogRequest(*request);
    } catch (const std::exception&) {
      // A log line that cannot be formatted is skipped; the request is done.
    }
    if (request->response != nullptr) MHD_destroy_response(request->response);
    const bool admitted = request->admitted;
    delete request;
    if (admitted) {
      std::lock_guard<std::mutex> lock(server->active_mutex_);
      --server->active_requests_;
      server->active_changed_.notify_all();
    }
  }

  static MHD_Result Answer(Request* request, unsigned status, MHD_Response* response, bool close) {
    if (response == nullptr) return MHD_NO;  // out of memory: drop the connection
    if (close) MHD_add_response_header(response, MHD_HTTP_HEADER_CONNECTION, "close");
    request->phase = Request::Phase::kAnswered;
    request->status = status;
    const MHD_Result result = MHD_queue_response(request->connection, status, response);
    MHD_destroy_response(response);
    return result;
  }

  static MHD_Result AnswerFixed(Request* request, unsigned status, const char* text,
                                std::size_t size, bool close) {
    request->body_bytes = request->method == "HEAD" ? 0 : size;
    return Answer(request, status, FixedResponse(text, size), close);
  }

  static MHD_Result CollectHeader(void* cls, MHD_ValueKind, const char* name, const char* value) {
    auto* request = static_cast<Request*>(cls);
    if (name != nullptr) request->input.variables.AddRequestHeader(name, value ? value : "");
    return MHD_YES;
  }

  // First call: the request line and headers are in. Decides whether the
  // request is ours and takes everything the extension will ask about.
  static MHD_Result OnHeaders(HttpServer* server, Request* request, const char* url,
                              const char* method, const char* version) {
    MHD_Connection* connection = request->connection;
    request->method = method;
    if (!request->admitted) {
      request->fixed_answer = Request::FixedAnswer{MHD_HTTP_SERVICE_UNAVAILABLE, kUnavailableText,
                                                   sizeof kUnavailableText - 1, true};
    } else if (server->options_.script_name != url) {
      request->fixed_answer =
          Request::FixedAnswer{MHD_HTTP_NOT_FOUND, kNotFoundText, sizeof kNotFoundText - 1, false};
    }
    const char* declared =
        MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_LENGTH);
    if (declared != nullptr) {
      const std::optional<std::uint64_t> length = ParseDecimal(declared);
      if (length && *length > server->options_.max_body) {
        return AnswerFixed(request, MHD_HTTP_CONTENT_TOO_LARGE, kTooLargeText,
                           sizeof kTooLargeText - 1, true);
      }
    }

    if (request->fixed_answer) {
      request->phase = Request::Phase::kBody;  // any body is read and dropped
      return MHD_YES;
    }

    RequestInput& input = request->input;
    // Sized once from the declared length, so a large body is not copied as
    // the buffer grows. A chunked body grows as it comes.
    if (declared != nullptr) {
      if (const std::optional<std::uint64_t> length = ParseDecimal(declared)) {
        input.body.reserve(static_cast<std::size_t>(*length));
      }
    }
    input.method = method;
    const std::size_t question = request->uri.find('?');
    if (question != std::string::npos) input.query = request->uri.substr(question + 1);
    input.path_info = url;
    const char* content_type =
        MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_TYPE);
    if (content_type != nullptr) input.content_type = content_type;
    MHD_get_connection_values(connection, MHD_HEADER_KIND, &CollectHeader, request);

    ServerVariables& variables = input.variables;
    std::string remote_addr;
    std::string remote_port;
    const MHD_ConnectionInfo* client =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    if (client != nullptr) DescribeAddress(client->client_addr, &remote_addr, &remote_port);
    std::string local_addr = server->options_.listen_address;
    std::string local_port = std::to_string(server->bound_port_);
    const MHD_ConnectionInfo* socket_info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
    if (socket_info != nullptr) {
      sockaddr_storage local{};
      socklen_t length = sizeof local;
      if (getsockname(socket_info->connect_fd, reinterpret_cast<sockaddr*>(&local), &length) == 0) {
        DescribeAddress(reinterpret_cast<sockaddr*>(&local), &local_addr, &local_port);
      }
    }
    const char* host =
        MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_HOST);
    std::string server_name = host != nullptr ? HostName(host) : std::string();
    if (server_name.empty()) {
      server_name = local_addr.find(':') != std::string::npos ? "[" + local_addr + "]" : local_addr;
    }
    variables.Set("REMOTE_ADDR", remote_addr);
    variables.Set("REMOTE_HOST", remote_addr);
    variables.Set("REMOTE_PORT", remote_port);
    variables.Set("LOCAL_ADDR", local_addr);
    variables.Set("SERVER_NAME", server_name);
    variables.Set("SERVER_PORT", local_port);
    variables.Set("SERVER_PORT_SECURE", "0");
    variables.Set("HTTPS", "off");
    variables.Set("SERVER_PROTOCOL", version != nullptr ? version : "");
    variables.Set("SERVER_SOFTWARE", kServerSoftware);
    variables.Set("GATEWAY_INTERFACE", "CGI/1.1");
    variables.Set("REQUEST_METHOD", method);
    variables.Set("SCRIPT_NAME", server->options_.script_name);
    variables.Set("URL", url);
    variables.Set("PATH_INFO", url);
    variables.Set("PATH_TRANSLATED", "");
    variables.Set("QUERY_STRING", input.query);
    variables.Set("CONTENT_TYPE", input.content_type);
    // Behind a trusted reverse proxy: the client's side as the proxy saw it.
    for (const std::string& line :
         ApplyForwardedRequest(server->options_.trusted_proxies, &variables)) {
      std::fprintf(stderr, "%s: %s from %s\n", kServerSoftware, line.c_str(), remote_addr.c_str());
    }
    request->phase = Request::Phase::kBody;
    return MHD_YES;
  }

  static MHD_Result OnBody(HttpServer* server, Request* request, const char* data,
                           std::size_t size) {
    request->received += size;
    if (request->fixed_answer) {
      return request->received > server->options_.max_body + kDiscardAllowance ? MHD_NO : MHD_YES;
    }
    if (!request->too_large) {
      if (request->received > server->options_.max_body) {
        // A chunked body has no declared length: it is refused once it grows
        // past the bound, and what came so far is let go.
        request->too_large = true;
        std::string().swap(request->input.body);
      } else {
        request->input.body.append(data, size);
      }
    } else if (request->received > server->options_.max_body + kDiscardAllowance) {
      return MHD_NO;
    }
    return MHD_YES;
  }

  static MHD_Result OnAccess(void* cls, MHD_Connection* connection, const char* url,
                             const char* method, const char* version, const char* upload_data,
                             size_t* upload_data_size, void** con_cls) {
    auto* server = static_cast<HttpServer*>(cls);
    auto* request = static_cast<Request*>(*con_cls);
    if (request == nullptr) return MHD_NO;  // OnRequestLine ran out of memory
    request->connection = connection;
    try {
      switch (request->phase) {
        case Request::Phase::kHeaders:
          return OnHeaders(server, request, url, method, version);
        case Request::Phase::kBody:
          if (*upload_data_size != 0) {
            const MHD_Result result = OnBody(server, request, upload_data, *upload_data_size);
            *upload_data_size = 0;
            return result;
          }
          if (const auto& fixed = request->fixed_answer) {
            return AnswerFixed(request, fixed->status, fixed->text, fixed->size, fixed->close);
          }
          if (request->too_large) {
            return AnswerFixed(request, MHD_HTTP_CONTENT_TOO_LARGE, kTooLargeText,
                               sizeof kTooLargeText - 1, true);
          }
          // The length of the body as received, declared or chunked.
          request->input.variables.Set("CONTENT_LENGTH",
                                       std::to_string(request->input.body.size()));
          // The whole request is in: hand it to a worker. Suspend first, so
          // that the worker's resume always finds the connection suspended.
          request->phase = Request::Phase::kRunning;
          MHD_suspend_connection(connection);
          server->workers_->Submit([server, request] { server->RunExtension(request); });
          return MHD_YES;
        case Request::Phase::kRunning: {
          // Resumed by the worker: its response is ready.
          MHD_Response* response = request->response;
          request->response = nullptr;
          request->phase = Request::Phase::kAnswered;
          if (response == nullptr) return MHD_NO;
          const MHD_Result result = MHD_queue_response(connection, request->status, response);
          MHD_destroy_response(response);
          return result;
        }
        case Request::Phase::kAnswered:
          if (upload_data_size != nullptr) *upload_data_size = 0;  // body after an early answer
          return MHD_YES;
      }
    } catch (const std::exception&) {
      // Out of memory while taking the request: drop the connection.
    }
    return MHD_NO;
  }
};

bool ParseListenAddress(const std::string& text, ServerOptions* options, std::string* error) {
  const std::size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0) {
    *error = "--listen wants ADDR:PORT, got \"" + text + "\"";
    return false;
  }
  std::string address = text.substr(0, colon);
  if (address.size() >= 2 && address.front() == '[' && address.back() == ']') {
    address = address.substr(1, address.size() - 2);
  }
  const std::optional<std::uint64_t> port = ParseDecimal(std::string_view(text).substr(colon + 1));
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
  options->listen_address = address;
  options->port = static_cast<std::uint16_t>(*port);
  return true;
}

HttpServer::HttpServer(ServerOptions options, PFN_HTTPEXTENSIONPROC proc, std::FILE* log)
    : options_(std::move(options)), proc_(proc), log_(log) {}

HttpServer::~HttpServer() {
  if (daemon_ != nullptr && !Stop()) {
    // Requests are still inside the extension and hold the connections: the
    // daemon and the workers cannot be torn down under them. The process is
    // ending; leave them to it.
    daemon_ = nullptr;
    (void)workers_.release();
  }
}

bool HttpServer::Start(std::string* error) {
  sockaddr_storage address{};
  unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_AUTO | MHD_ALLOW_SUSPEND_RESUME |
                   MHD_USE_ITC | MHD_USE_ERROR_LOG;
  sockaddr_in v4{};
  sockaddr_in6 v6{};
  if (inet_pton(AF_INET, options_.listen_address.c_str(), &v4.sin_addr) == 1) {
    v4.sin_family = AF_INET;
    v4.sin_port = htons(options_.port);
    std::memcpy(&address, &v4, sizeof v4);
  } else if (inet_pton(AF_INET6, options_.listen_address.c_str(), &v6.sin6_addr) == 1) {
    v6.sin6_family = AF_INET6;
    v6.sin6_port = htons(options_.port);
    std::memcpy(&address, &v6, sizeof v6);
    flags |= MHD_USE_IPv6;
  } else {
    *error = "\"" + options_.listen_address + "\" is not a numeric address";
    return false;
  }
  workers_ = std::make_unique<WorkerPool>(options_.threads);
  daemon_ = MHD_start_daemon(
      flags, options_.port, nullptr, nullptr, &ServerCallbacks::OnAccess, this,
      MHD_OPTION_SOCK_ADDR, reinterpret_cast<const sockaddr*>(&address),
      MHD_OPTION_CONNECTION_TIMEOUT, static_cast<unsigned int>(options_.idle_timeout_seconds),
      MHD_OPTION_URI_LOG_CALLBACK, &ServerCallbacks::OnRequestLine, this,
      MHD_OPTION_NOTIFY_COMPLETED, &ServerCallbacks::OnCompleted, this, MHD_OPTION_END);
  if (daemon_ == nullptr) {
    *error = "cannot listen on " + options_.listen_address + ":" + std::to_string(options_.port);
    workers_.reset();
    return false;
  }
  const MHD_DaemonInfo* info = MHD_get_daemon_info(daemon_, MHD_DAEMON_INFO_BIND_PORT);
  bound_port_ = info != nullptr && info->port != 0 ? info->port : options_.port;
  return true;
}

bool HttpServer::Stop() {
  if (stopped_) return drained_;
  if (daemon_ == nullptr) return true;
  std::unique_lock<std::mutex> lock(active_mutex_);
  stopping_ = true;
  lock.unlock();
  // Stop accepting: the listening socket is closed; open connections stay.
  const MHD_socket listener = MHD_quiesce_daemon(daemon_);
  if (listener != MHD_INVALID_SOCKET) close(listener);
  lock.lock();
  drained_ = active_changed_.wait_for(lock, std::chrono::seconds(options_.drain_timeout_seconds),
                                      [this] { return active_requests_ == 0; });
  lock.unlock();
  stopped_ = true;
  if (!drained_) return false;
  // Nothing admitted is left, so no connection is suspended: the daemon may
  // close the idle ones and end.
  MHD_stop_daemon(daemon_);
  daemon_ = nullptr;
  workers_.reset();
  return true;
}

void HttpServer::RunExtension(Request* request) {
  MHD_Connection* connection = request->connection;
  try {
    ExtensionRequest extension(std::move(request->input), options_.available_limit);
    extension.Run(proc_);
    const unsigned status = extension.StatusCode();
    auto* stream = new std::string(extension.TakeStream());
    const SplitResponse split = SplitResponseStream(*stream);
    const std::size_t body_size = stream->size() - split.body_offset;
    MHD_Response* response = MHD_create_response_from_buffer_with_free_callback_cls(
        body_size, stream->data() + split.body_offset, &DeleteString, stream);
    if (response == nullptr) {
      delete stream;
    } else {
      for (const ResponseHeader& header : split.headers) {
        if (MHD_add_response_header(response, std::string(header.name).c_str(),
                                    std::string(header.value).c_str()) != MHD_YES) {
          std::fprintf(stderr, "%s: header \"%s\" of %s not sent\n", kServerSoftware,
                       std::string(header.name).c_str(), LoggableUri(request->uri).c_str());
        }
      }
      if (split.content_length_mismatch) {
        std::fprintf(stderr,
                     "%s: Content-Length written by the extension for %s is not the "
                     "body's length %zu; the body is sent with its own length\n",
                     kServerSoftware, LoggableUri(request->uri).c_str(), body_size);
      }
      bool close_connection = !extension.KeepConnection();
      {
        std::lock_guard<std::mutex> lock(active_mutex_);
        close_connection = close_connection || stopping_;
      }
      if (close_connection) {
        MHD_add_response_header(response, MHD_HTTP_HEADER_CONNECTION, "close");
      }
      request->status = status;
      request->body_bytes = request->method == "HEAD" ? 0 : body_size;
    }
    request->response = response;
  } catch (const std::exception&) {
    request->response = nullptr;
  }
  if (request->response == nullptr) {
    request->status = MHD_HTTP_INTERNAL_SERVER_ERROR;
    request->body_bytes = 0;
    request->response = MHD_create_response_from_buffer(0, nullptr, MHD_RESPMEM_PERSISTENT);
  }
  // Last touch of the request: once resumed, the library's thread owns it
  // again and may complete and free it at once.
  MHD_resume_connection(connection);
}

void HttpServer::LogRequest(const Request& request) {
  if (options_.quiet || log_ == nullptr) return;
  const double milliseconds =
      std::chrono::duration<double, std::milli>(Clock::now() - request.start).count();
  const std::string status = request.status != 0 ? std::to_string(request.status) : "-";
  std::lock_guard<std::mutex> lock(log_mutex_);
  std::fprintf(log_, "%s %s %s %zu %.1fms\n", LoggableUri(request.method).c_str(),
               LoggableUri(request.uri).c_str(), status.c_str(), request.body_bytes, milliseconds);
  std::fflush(log_);
}

}  // namespace hosts
