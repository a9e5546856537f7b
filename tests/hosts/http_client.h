// The tests' one HTTP/1.1 client, on raw sockets: it sends bytes exactly as
// a test writes them (partial bodies, chunked bodies, several requests on
// one connection) and parses what comes back, or makes one whole exchange
// with a URL. Every read is bounded by a timeout.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace hosts_test {

struct HttpResponse {
  int status = 0;
  std::vector<std::pair<std::string, std::string>> headers;  // in order received
  std::string body;

  // The first value of the header (name matched ignoring case), or nullopt.
  std::optional<std::string> Header(std::string_view name) const;
  int CountHeader(std::string_view name) const;
};

class HttpConnection {
 public:
  explicit HttpConnection(std::uint16_t port);
  // Connects to `address` (numeric IPv4) from the local address `source`
  // ("" lets the system pick), so a test can play several clients.
  HttpConnection(std::uint16_t port, const std::string& address, const std::string& source);
  // Connects to the server of `url` ("http://address:port/...").
  explicit HttpConnection(const std::string& url);
  ~HttpConnection();
  HttpConnection(const HttpConnection&) = delete;
  HttpConnection& operator=(const HttpConnection&) = delete;

  bool connected() const { return fd_ >= 0; }
  bool Send(std::string_view bytes);
  // Reads one response; for a HEAD request no body follows the headers.
  // `timeout_ms` bounds each wait for more bytes.
  std::optional<HttpResponse> Read(bool head_request = false, int timeout_ms = 10000);
  // True when the server closes the connection within the timeout.
  bool WaitForClose(int timeout_ms = 5000);

  // A response received whole by other means (through curl), parsed alike.
  static std::optional<HttpResponse> Parse(std::string received, bool head_request);

 private:
  HttpConnection() = default;
  bool Fill(int timeout_ms);  // reads more into buffer_; false on close or timeout

  int fd_ = -1;
  std::string buffer_;
};

// One request on a fresh connection.
std::optional<HttpResponse> Fetch(std::uint16_t port, std::string_view request,
                                  bool head_request = false);

// One request to `url` on a fresh connection ("Connection: close"); nullopt
// when the server could not be reached or sent no complete response in
// time. An https:// URL is fetched with curl (GET only, certificate not
// checked).
std::optional<HttpResponse> HttpExchange(const std::string& url, std::string_view method = "GET",
                                         std::string_view body = {},
                                         std::string_view content_type = {});

// "GET <target> HTTP/1.1" with a Host header and nothing else.
std::string GetRequest(std::string_view target, std::string_view method = "GET");
// A POST with a Content-Length body.
std::string PostRequest(std::string_view target, std::string_view body);

// A self-signed certificate for 127.0.0.1 valid for two days, its key, and a
// key of no certificate (keys readable by the owner only), made by openssl
// in a temporary directory that goes with the object.
class TestCertificate {
 public:
  TestCertificate();
  ~TestCertificate();
  TestCertificate(const TestCertificate&) = delete;
  TestCertificate& operator=(const TestCertificate&) = delete;

  bool made() const { return made_; }
  std::string cert() const { return directory_ + "/cert.pem"; }
  std::string key() const { return directory_ + "/key.pem"; }
  std::string other_key() const { return directory_ + "/other.pem"; }

 private:
  std::string directory_;
  bool made_ = false;
};

}  // namespace hosts_test
