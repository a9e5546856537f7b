// The tests' raw-socket HTTP client.
#include "tests/hosts/http_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <strings.h>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace hosts_test {

namespace {

// A whole exchange waits this long for each piece of the response.
constexpr int kExchangeTimeoutMs = 30000;

bool SameName(std::string_view a, std::string_view b) {
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

struct UrlParts {
  std::string address;
  std::uint16_t port = 80;
  std::string authority;  // address:port
  std::string target;     // path and query
};

std::optional<UrlParts> SplitUrl(const std::string& url) {
  constexpr std::string_view kScheme = "http://";
  if (url.rfind(kScheme, 0) != 0) return std::nullopt;
  const std::size_t path_start = url.find('/', kScheme.size());
  UrlParts parts;
  parts.authority = url.substr(kScheme.size(), path_start - kScheme.size());
  parts.target = path_start == std::string::npos ? "/" : url.substr(path_start);
  const std::size_t colon = parts.authority.rfind(':');
  parts.address = parts.authority.substr(0, colon);
  if (colon != std::string::npos) {
    parts.port = static_cast<std::uint16_t>(std::atoi(parts.authority.c_str() + colon + 1));
  }
  return parts;
}

// An exchange over HTTPS goes through curl, which passes the response on as
// received (--raw); the tests' certificates are self-signed, so they are
// not checked.
std::optional<std::string> CurlExchange(const std::string& url) {
  if (url.find('\'') != std::string::npos) return std::nullopt;
  const std::string command =
      "curl -sk -i --raw --max-time 30 -H 'Connection: close' '" + url + "'";
  std::FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return std::nullopt;
  std::string received;
  char buffer[65536];
  std::size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) received.append(buffer, got);
  if (::pclose(pipe) != 0) return std::nullopt;
  return received;
}

}  // namespace

std::optional<std::string> HttpResponse::Header(std::string_view name) const {
  for (const auto& [key, value] : headers) {
    if (SameName(key, name)) return value;
  }
  return std::nullopt;
}

int HttpResponse::CountHeader(std::string_view name) const {
  int count = 0;
  for (const auto& [key, value] : headers) count += SameName(key, name) ? 1 : 0;
  return count;
}

HttpConnection::HttpConnection(std::uint16_t port) : HttpConnection(port, "127.0.0.1", "") {}

HttpConnection::HttpConnection(std::uint16_t port, const std::string& address_text,
                               const std::string& source) {
  fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) return;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  bool ok = inet_pton(AF_INET, address_text.c_str(), &address.sin_addr) == 1;
  if (ok && !source.empty()) {
    sockaddr_in local{};
    local.sin_family = AF_INET;
    ok = inet_pton(AF_INET, source.c_str(), &local.sin_addr) == 1 &&
         bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0;
  }
  if (!ok || connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd_);
    fd_ = -1;
  }
}

HttpConnection::HttpConnection(const std::string& url) {
  const std::optional<UrlParts> parts = SplitUrl(url);
  if (!parts) return;
  HttpConnection connection(parts->port, parts->address, "");
  std::swap(fd_, connection.fd_);
}

HttpConnection::~HttpConnection() {
  if (fd_ >= 0) close(fd_);
}

bool HttpConnection::Send(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t sent = send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(sent));
  }
  return true;
}

bool HttpConnection::Fill(int timeout_ms) {
  if (fd_ < 0) return false;
  pollfd poll_fd{fd_, POLLIN, 0};
  const int ready = poll(&poll_fd, 1, timeout_ms);
  if (ready <= 0) return false;
  char chunk[65536];
  const ssize_t got = recv(fd_, chunk, sizeof chunk, 0);
  if (got <= 0) return false;
  buffer_.append(chunk, static_cast<std::size_t>(got));
  return true;
}

std::optional<HttpResponse> HttpConnection::Parse(std::string received, bool head_request) {
  HttpConnection whole;
  whole.buffer_ = std::move(received);
  return whole.Read(head_request, 0);
}

std::optional<HttpResponse> HttpConnection::Read(bool head_request, int timeout_ms) {
  if (fd_ < 0 && buffer_.empty()) return std::nullopt;
  std::size_t end;
  while ((end = buffer_.find("\r\n\r\n")) == std::string::npos) {
    if (!Fill(timeout_ms)) return std::nullopt;
  }
  HttpResponse response;
  const std::string head = buffer_.substr(0, end + 2);
  buffer_.erase(0, end + 4);
  std::size_t line_end = head.find("\r\n");
  const std::string status_line = head.substr(0, line_end);
  if (status_line.size() < 12 || status_line.compare(0, 5, "HTTP/") != 0) return std::nullopt;
  response.status = std::atoi(status_line.c_str() + 9);
  for (std::size_t start = line_end + 2; start < head.size(); start = line_end + 2) {
    line_end = head.find("\r\n", start);
    const std::string line = head.substr(start, line_end - start);
    const std::size_t colon = line.find(':');
    if (colon == std::string::npos) return std::nullopt;
    std::string value = line.substr(colon + 1);
    value.erase(0, value.find_first_not_of(" \t"));
    response.headers.emplace_back(line.substr(0, colon), value);
  }
  if (head_request || response.status == 204 || response.status == 304 || response.status < 200) {
    return response;
  }
  const std::optional<std::string> length = response.Header("Content-Length");
  if (length && !length->empty()) {
    const std::size_t size = std::strtoull(length->c_str(), nullptr, 10);
    while (buffer_.size() < size) {
      if (!Fill(timeout_ms)) return std::nullopt;
    }
    response.body = buffer_.substr(0, size);
    buffer_.erase(0, size);
    return response;
  }
  if (SameName(response.Header("Transfer-Encoding").value_or(""), "chunked")) {
    for (;;) {
      std::size_t size_end;
      while ((size_end = buffer_.find("\r\n")) == std::string::npos) {
        if (!Fill(timeout_ms)) return std::nullopt;
      }
      const std::size_t size = std::strtoull(buffer_.c_str(), nullptr, 16);
      while (buffer_.size() < size_end + 2 + size + 2) {
        if (!Fill(timeout_ms)) return std::nullopt;
      }
      response.body += buffer_.substr(size_end + 2, size);
      buffer_.erase(0, size_end + 2 + size + 2);
      if (size == 0) return response;
    }
  }
  while (Fill(timeout_ms)) {
  }
  response.body = std::move(buffer_);
  buffer_.clear();
  return response;
}

bool HttpConnection::WaitForClose(int timeout_ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0) return false;
    pollfd poll_fd{fd_, POLLIN, 0};
    if (poll(&poll_fd, 1, static_cast<int>(left)) <= 0) return false;
    char chunk[4096];
    const ssize_t got = recv(fd_, chunk, sizeof chunk, 0);
    if (got <= 0) return true;
  }
}

std::optional<HttpResponse> Fetch(std::uint16_t port, std::string_view request, bool head_request) {
  HttpConnection connection(port);
  if (!connection.connected() || !connection.Send(request)) return std::nullopt;
  return connection.Read(head_request);
}

std::optional<HttpResponse> HttpExchange(const std::string& url, std::string_view method,
                                         std::string_view body, std::string_view content_type) {
  if (url.rfind("https://", 0) == 0) {
    if (method != "GET" || !body.empty()) return std::nullopt;
    std::optional<std::string> received = CurlExchange(url);
    if (!received) return std::nullopt;
    return HttpConnection::Parse(std::move(*received), false);
  }
  const std::optional<UrlParts> parts = SplitUrl(url);
  if (!parts) return std::nullopt;
  HttpConnection connection(url);
  std::string request = std::string(method) + " " + parts->target +
                        " HTTP/1.1\r\nHost: " + parts->authority + "\r\nConnection: close\r\n";
  if (!content_type.empty()) request += "Content-Type: " + std::string(content_type) + "\r\n";
  if (method == "POST") request += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  request += "\r\n";
  request += body;
  if (!connection.connected() || !connection.Send(request)) return std::nullopt;
  return connection.Read(method == "HEAD", kExchangeTimeoutMs);
}

std::string GetRequest(std::string_view target, std::string_view method) {
  return std::string(method) + " " + std::string(target) + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
}

std::string PostRequest(std::string_view target, std::string_view body) {
  return "POST " + std::string(target) +
         " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: " + std::to_string(body.size()) +
         "\r\nContent-Type: application/octet-stream\r\n\r\n" + std::string(body);
}

TestCertificate::TestCertificate() {
  char pattern[] = "/tmp/host-tls-XXXXXX";
  if (mkdtemp(pattern) == nullptr) return;
  directory_ = pattern;
  const std::string command =
      "cd '" + directory_ +
      "' && openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes"
      " -keyout key.pem -out cert.pem -days 2 -subj /CN=127.0.0.1 2>/dev/null"
      " && openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out other.pem"
      " 2>/dev/null && chmod 600 key.pem other.pem";
  made_ = std::system(command.c_str()) == 0;
}

TestCertificate::~TestCertificate() {
  std::error_code ignored;
  if (!directory_.empty()) std::filesystem::remove_all(directory_, ignored);
}

}  // namespace hosts_test
