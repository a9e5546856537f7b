// The portal behind a reverse proxy: nginx terminates TLS on 127.x.y.z:8443
// with a key pair made for the test and passes requests to the host over
// loopback with X-Forwarded-* headers. Through the proxy every wait page
// reloads to the public https address and the client's own address reaches
// the back-end; the same headers sent straight to the host by a peer that
// is not the proxy change nothing.

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <thread>
#include <vector>

#include "tests/e2e/headless_browser.h"
#include "tests/e2e/portal_fixture.h"

namespace e2e {
namespace {

using namespace std::chrono_literals;

constexpr char kNginx[] = "/usr/sbin/nginx";
constexpr char kOpenssl[] = "/usr/bin/openssl";
constexpr char kCurl[] = "/usr/bin/curl";
constexpr char kPublicName[] = "portal.test";

std::string RandomLoopback() {
  std::random_device random;
  std::uniform_int_distribution<int> octet(1, 254);
  return "127." + std::to_string(octet(random)) + "." + std::to_string(octet(random)) + "." +
         std::to_string(octet(random));
}

// The host's address and port from its module URL "http://A:P/...".
std::string HostAuthority(const std::string& module_url) {
  return Between(module_url, "http://", "/");
}

// nginx on 127.x.y.z:8443 in front of the portal's host, the one peer the
// host trusts: it connects from the address it listens on (proxy_bind).
class TlsProxy {
 public:
  TlsProxy(Portal& portal, const std::string& address) : portal_(portal), address_(address) {}
  ~TlsProxy() { nginx_.Stop(); }

  // Empty when nginx serves; else what went wrong.
  std::string Start() {
    const std::string dir = portal_.Path("nginx");
    std::filesystem::create_directories(dir + "/temp");
    ChildProcess openssl;
    const std::string subject_alt_name = "subjectAltName=DNS:" + std::string(kPublicName);
    if (!openssl.Start({kOpenssl, "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1",
                        "-subj", "/CN=" + std::string(kPublicName), "-addext", subject_alt_name,
                        "-keyout", dir + "/key.pem", "-out", dir + "/cert.pem"},
                       dir + "/openssl.log")) {
      return "cannot run openssl";
    }
    if (openssl.WaitForExit(60s) != 0) return "openssl failed: " + openssl.Output();
    std::ofstream(dir + "/nginx.conf") << Config(dir);
    if (!nginx_.Start({kNginx, "-p", dir, "-c", dir + "/nginx.conf", "-e", dir + "/error.log"},
                      dir + "/nginx.out")) {
      return "cannot run nginx";
    }
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (std::chrono::steady_clock::now() < deadline) {
      if (HttpConnection("http://" + address_ + ":8443/").connected()) return {};
      if (!nginx_.Running()) break;
      std::this_thread::sleep_for(20ms);
    }
    return "nginx did not start: " + nginx_.Output() +
           portal_.ReadFile("nginx/error.log").value_or("");
  }

  std::string public_url() const {
    return "https://" + std::string(kPublicName) + ":8443/scripts/dudarovuvadu.dll";
  }
  std::string certificate() const { return portal_.Path("nginx/cert.pem"); }
  const std::string& address() const { return address_; }

 private:
  // The site block of the README, with the test's addresses and files.
  std::string Config(const std::string& dir) const {
    const std::string temp = dir + "/temp";
    std::string conf = "daemon off;\nworker_processes 1;\npid " + dir + "/nginx.pid;\n";
    if (::geteuid() == 0) conf += "user root;\n";  // workers read the test's private files
    conf += "error_log " + dir + "/error.log;\nevents { worker_connections 64; }\nhttp {\n";
    conf += "  access_log off;\n";
    for (const char* kind : {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"}) {
      conf += "  " + std::string(kind) + "_temp_path " + temp + "/" + kind + ";\n";
    }
    conf += "  server {\n    listen " + address_ + ":8443 ssl;\n    server_name " + kPublicName +
            ";\n    ssl_certificate " + dir + "/cert.pem;\n    ssl_certificate_key " + dir +
            "/key.pem;\n";
    conf += "    location /scripts/ {\n      proxy_pass http://" +
            HostAuthority(portal_.module_url()) + ";\n      proxy_bind " + address_ + ";\n";
    conf +=
        "      proxy_set_header Host $host;\n"
        "      proxy_set_header X-Forwarded-For $proxy_add_x_forwarded_for;\n"
        "      proxy_set_header X-Forwarded-Proto $scheme;\n"
        "      proxy_set_header X-Forwarded-Host $host;\n"
        "      proxy_set_header X-Forwarded-Port $server_port;\n"
        "      proxy_set_header Forwarded \"\";\n"
        "    }\n  }\n}\n";
    return conf;
  }

  Portal& portal_;
  std::string address_;
  ChildProcess nginx_;
};

// A GET with curl: through the proxy under its public name, trusting the
// test's certificate, from the client address `from`. The body, or nullopt.
std::optional<std::string> CurlThroughProxy(Portal& portal, const TlsProxy& proxy,
                                            const std::string& url, const std::string& from) {
  ChildProcess curl;
  const std::string body_path = portal.Path("curl.body");
  std::filesystem::remove(body_path);
  if (!curl.Start({kCurl, "-sS", "-g", "--max-time", "10", "--cacert", proxy.certificate(),
                   "--resolve", std::string(kPublicName) + ":8443:" + proxy.address(),
                   "--interface", from, "-o", body_path, url},
                  portal.Path("curl.log"))) {
    return std::nullopt;
  }
  if (curl.WaitForExit(20s) != 0) return std::nullopt;
  return portal.ReadFile("curl.body");
}

// The status of each of `urls`, fetched by one curl through the proxy from
// `from`, up to `parallel` at once; empty when curl could not run.
std::vector<int> CurlStatuses(Portal& portal, const TlsProxy& proxy,
                              const std::vector<std::string>& urls, const std::string& from,
                              int parallel) {
  const std::string resolve = std::string(kPublicName) + ":8443:" + proxy.address();
  std::vector<std::string> argv = {kCurl, "-sS", "-g", "--max-time", "20"};
  argv.insert(argv.end(), {"--cacert", proxy.certificate(), "--resolve", resolve});
  argv.insert(argv.end(), {"--interface", from, "-w", "%{http_code}\\n"});
  if (parallel > 1) {
    argv.insert(argv.end(), {"--parallel", "--parallel-max", std::to_string(parallel)});
  }
  for (const std::string& url : urls) argv.insert(argv.end(), {"-o", "/dev/null", url});
  ChildProcess curl;
  if (!curl.Start(argv, portal.Path("curl-statuses.log"), portal.Path("curl-errors.log"))) {
    return {};
  }
  // A transfer that failed (a 502 is not one) shows as status 0.
  if (!curl.WaitForExit(60s)) return {};
  std::vector<int> statuses;
  std::istringstream lines(curl.Output());
  for (int status = 0; lines >> status;) statuses.push_back(status);
  return statuses;
}

class ProxyE2eTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* program : {kNginx, kOpenssl, kCurl}) {
      if (::access(program, X_OK) != 0) GTEST_SKIP() << program << " is missing";
    }
  }

  // A portal that trusts `proxy_address` only, and nginx in front of it.
  // Retries on another address when 8443 is taken there.
  void StartBehindProxy(std::vector<std::string> host_options = {}) {
    for (int attempt = 0; attempt < 5; ++attempt) {
      const std::string address = RandomLoopback();
      std::vector<std::string> options = {"--trusted-proxy", address};
      options.insert(options.end(), host_options.begin(), host_options.end());
      portal_ = std::make_unique<Portal>(WithHostOptions(options));
      ASSERT_TRUE(portal_->error().empty()) << portal_->error();
      proxy_ = std::make_unique<TlsProxy>(*portal_, address);
      const std::string error = proxy_->Start();
      if (error.empty()) return;
      last_error_ = error;
      proxy_.reset();
    }
    FAIL() << last_error_;
  }

  std::unique_ptr<Portal> portal_;
  std::unique_ptr<TlsProxy> proxy_;
  std::string last_error_;
};

TEST_F(ProxyE2eTest, WaitPageThroughTheProxyReloadsToThePublicHttpsAddress) {
  ASSERT_NO_FATAL_FAILURE(StartBehindProxy());
  const std::string client = RandomLoopback();
  const std::string url =
      proxy_->public_url() + "?DoCommand?Logon=anna&Command=echo&P1=&P2=x&P3=[ip]";

  std::optional<std::string> page = CurlThroughProxy(*portal_, *proxy_, url, client);
  ASSERT_TRUE(page) << portal_->ReadFile("curl.log").value_or("");
  std::string target = HtmlUnescape(WaitPageTarget(*page));
  EXPECT_EQ(target.rfind(proxy_->public_url() + "?DoCommand?logon=anna&command=echo&p1=", 0), 0u)
      << *page;

  // Follow the reloads through the proxy, as the browser would.
  const auto deadline = std::chrono::steady_clock::now() + 15s;
  while (!target.empty() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(100ms);
    page = CurlThroughProxy(*portal_, *proxy_, target, client);
    ASSERT_TRUE(page) << portal_->ReadFile("curl.log").value_or("");
    const std::string next = HtmlUnescape(WaitPageTarget(*page));
    if (!next.empty()) {
      EXPECT_EQ(next, target);
    }
    target = next;
  }
  ASSERT_TRUE(target.empty()) << "no answer through the proxy: " << *page;
  // The back-end got the public address, and the client's own address as
  // the "[ip]" parameter, not the proxy's.
  EXPECT_NE(page->find("<td id=\"server\">" + proxy_->public_url() + "</td>"), std::string::npos)
      << *page;
  EXPECT_NE(page->find("<td id=\"p3\">" + client + "</td>"), std::string::npos) << *page;
  EXPECT_NE(page->find("<td id=\"p2\">x</td>"), std::string::npos) << *page;
}

TEST_F(ProxyE2eTest, SameHeadersFromAnUntrustedPeerChangeNothing) {
  ASSERT_NO_FATAL_FAILURE(StartBehindProxy());
  // Straight to the host from 127.0.0.1, which is not the proxy's address.
  const std::string authority = HostAuthority(portal_->module_url());
  HttpConnection connection(portal_->module_url());
  ASSERT_TRUE(connection.connected());
  ASSERT_TRUE(connection.Send(
      "GET /scripts/dudarovuvadu.dll?DoCommand?Logon=anna&Command=echo&P1=&P2=&P3=[ip] HTTP/1.1\r\n"
      "Host: " +
      authority +
      "\r\n"
      "Forwarded: for=192.0.2.1;proto=https;host=portal.test\r\n"
      "X-Forwarded-For: 192.0.2.1\r\n"
      "X-Forwarded-Proto: https\r\n"
      "X-Forwarded-Host: portal.test\r\n"
      "X-Forwarded-Port: 8443\r\n"
      "Connection: close\r\n\r\n"));
  const std::optional<HttpResponse> response = connection.Read();
  ASSERT_TRUE(response);
  const std::string target = HtmlUnescape(WaitPageTarget(response->body));
  EXPECT_EQ(target.rfind(portal_->module_url() + "?DoCommand?logon=anna&command=echo&p1=", 0), 0u)
      << response->body;
  const std::optional<HttpResponse> answer = portal_->FetchAnswer(target);
  ASSERT_TRUE(answer);
  EXPECT_NE(answer->body.find("<td id=\"server\">" + portal_->module_url() + "</td>"),
            std::string::npos)
      << answer->body;
  EXPECT_NE(answer->body.find("<td id=\"p3\">127.0.0.1</td>"), std::string::npos) << answer->body;
  EXPECT_EQ(answer->body.find("192.0.2.1"), std::string::npos) << answer->body;
}

// nginx opens a connection to the host for each request it passes: one
// client's requests at once come on many of them, all from nginx's address.
// They are limited as that client's, never as everyone's.
TEST_F(ProxyE2eTest, OneClientAtItsLimitsDoesNotShutOutTheOthers) {
  ASSERT_NO_FATAL_FAILURE(StartBehindProxy(
      {"--per-address-connections", "2", "--rate-limit", "0.001", "--rate-burst", "12"}));
  const std::string greedy = RandomLoopback();
  const std::string other = RandomLoopback();
  const std::vector<std::string> burst(12, proxy_->public_url());
  std::vector<int> statuses = CurlStatuses(*portal_, *proxy_, burst, greedy, 12);
  EXPECT_EQ(statuses, std::vector<int>(12, 200))
      << portal_->ReadFile("curl-errors.log").value_or("") << portal_->host().Output();
  statuses = CurlStatuses(*portal_, *proxy_, {proxy_->public_url()}, greedy, 1);
  EXPECT_EQ(statuses, std::vector<int>{429});  // past its burst
  statuses = CurlStatuses(*portal_, *proxy_, {proxy_->public_url()}, other, 1);
  EXPECT_EQ(statuses, std::vector<int>{200});
}

TEST_F(ProxyE2eTest, BrowserReachesTheAnswerThroughTheProxy) {
  if (::access(HeadlessBrowser::kChromium, X_OK) != 0) {
    GTEST_SKIP() << HeadlessBrowser::kChromium << " is missing (Debian package chromium)";
  }
  ASSERT_NO_FATAL_FAILURE(StartBehindProxy());
  HeadlessBrowser browser;
  // The certificate is the test's own: the browser is told to take it.
  ASSERT_TRUE(browser.Start(
      portal_->Path("chromium"), portal_->Path("chromium.log"),
      {"--host-resolver-rules=MAP " + std::string(kPublicName) + " " + proxy_->address(),
       "--ignore-certificate-errors"}))
      << portal_->ReadFile("chromium.log").value_or("");
  ASSERT_TRUE(browser.Open(proxy_->public_url() +
                           "?DoCommand?Logon=anna&Command=browser&P1=&P2=through&P3=nginx"));
  const std::string dom = browser.WaitForDom("<td id=\"p3\">nginx</td>", 20s);
  EXPECT_NE(dom.find("<td id=\"p3\">nginx</td>"), std::string::npos) << dom << "\n"
                                                                     << portal_->host().Output();
  EXPECT_NE(dom.find("<td id=\"server\">" + proxy_->public_url() + "</td>"), std::string::npos)
      << dom;
  EXPECT_EQ(dom.find("Veuillez patienter"), std::string::npos);
}

}  // namespace
}  // namespace e2e
