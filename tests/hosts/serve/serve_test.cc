// Black-box tests of build/dudarovuvadu-serve with the portal module: each
// test starts the host as its own process on 127.0.0.1 port 0 over a fresh
// temporary install root, talks HTTP to it and stops it by its process id.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/harness/child_process.h"
#include "tests/hosts/http_client.h"

namespace hosts {
namespace {

namespace fs = std::filesystem;
using hosts_test::Fetch;
using hosts_test::GetRequest;
using hosts_test::HttpConnection;
using hosts_test::PostRequest;

constexpr char kScript[] = "/scripts/dudarovuvadu.dll";
constexpr char kDefaultPageStart[] = "<html><head><title>Portail Quorvel</title>";

std::string ReadWhole(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// The host running over a temporary install root: the six spool
// directories, a copy of the module in bin/ with its pointer file naming the
// root. Extra arguments may name files under the root as "@ROOT@/...".
class ServeProcess {
 public:
  explicit ServeProcess(std::vector<std::string> extra_args = {}) {
    const char* build_dir = std::getenv("DUDAROVUVADU_BUILD_DIR");
    if (build_dir == nullptr) {
      ADD_FAILURE() << "DUDAROVUVADU_BUILD_DIR is not set";
      return;
    }
    std::string pattern = (fs::temp_directory_path() / "serve_test.XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
      ADD_FAILURE() << "mkdtemp failed";
      return;
    }
    root_ = pattern;
    for (const char* dir : {"in", "out", "traces", "post", "rights", "events", "bin"}) {
      fs::create_directory(root_ / dir);
    }
    const fs::path module = root_ / "bin" / "dudarovuvadu.so";
    fs::copy_file(fs::path(build_dir) / "dudarovuvadu.so", module);
    std::ofstream(root_ / "bin" / "dudarovuvadu.dir", std::ios::binary) << root_.string() << "\r\n";

    std::vector<std::string> args = {(fs::path(build_dir) / "dudarovuvadu-serve").string(),
                                     "--module",
                                     module.string(),
                                     "--listen",
                                     "127.0.0.1:0",
                                     "--threads",
                                     "4"};
    // "@ROOT@" in an argument stands for the temporary root.
    for (std::string& arg : extra_args) {
      if (const std::size_t at = arg.find("@ROOT@"); at != std::string::npos) {
        arg.replace(at, 6, root_.string());
      }
    }
    args.insert(args.end(), extra_args.begin(), extra_args.end());
    if (!process_.Start(args, (root_ / "serve.out").string(), (root_ / "serve.err").string())) {
      ADD_FAILURE() << "cannot start " << args[0];
      return;
    }
    const std::string marker = "listening on 127.0.0.1:";
    if (!WaitForOutput(marker)) {
      ADD_FAILURE() << "host did not start: " << Output() << ReadWhole(root_ / "serve.err");
      return;
    }
    const std::string output = Output();
    port_ =
        static_cast<std::uint16_t>(std::atoi(output.c_str() + output.find(marker) + marker.size()));
  }

  ~ServeProcess() {
    Stop();
    if (!root_.empty()) {
      std::error_code ignored;
      fs::remove_all(root_, ignored);
    }
  }

  std::uint16_t port() const { return port_; }
  const fs::path& root() const { return root_; }
  std::string Output() const { return ReadWhole(root_ / "serve.out"); }
  std::string Errors() const { return ReadWhole(root_ / "serve.err"); }

  bool WaitForOutput(const std::string& text) const { return process_.WaitForOutput(text); }

  void Signal(int number) const { process_.Signal(number); }

  // SIGTERM, then waits (bounded) for the exit; the exit code, or -1.
  int Stop() { return harness::ExitCode(process_.Stop(std::chrono::seconds(15))); }
  // Waits (bounded) for the exit; the exit code, or -1.
  int Wait(int timeout_ms) {
    return harness::ExitCode(process_.WaitForExit(std::chrono::milliseconds(timeout_ms)));
  }

 private:
  fs::path root_;
  harness::ChildProcess process_;
  std::uint16_t port_ = 0;
};

// Bytes without LF, zero or trailing blanks: the posted-data store keeps
// them as they are.
std::string PostedData(std::size_t size) {
  std::string data(size, 'a');
  for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<char>('!' + (i * 7 + i / 93) % 90);
  return data;
}

TEST(ServeTest, LoadsTheModuleAndServesTheDefaultPage) {
  ServeProcess serve;
  ASSERT_NE(serve.port(), 0);
  EXPECT_NE(serve.Output().find("version 4.0, \"DudarOvuvadu Extension\""), std::string::npos);
  for (const std::string& target : {std::string(kScript), std::string(kScript) + "?"}) {
    const auto response = Fetch(serve.port(), GetRequest(target));
    ASSERT_TRUE(response) << target;
    EXPECT_EQ(response->status, 200u);
    EXPECT_EQ(response->Header("Content-Type"), "text/html");
    EXPECT_EQ(response->body.rfind(kDefaultPageStart, 0), 0u) << response->body;
    EXPECT_NE(response->body.find(std::string("ScriptName='") + kScript + "'"), std::string::npos);
  }
  EXPECT_EQ(serve.Stop(), 0);
  EXPECT_NE(serve.Output().find("dudarovuvadu-serve: stopped"), std::string::npos);
}

TEST(ServeTest, LogsOneLinePerRequestUnlessQuiet) {
  for (const bool quiet : {false, true}) {
    ServeProcess serve(quiet ? std::vector<std::string>{"--quiet"} : std::vector<std::string>{});
    ASSERT_NE(serve.port(), 0);
    ASSERT_TRUE(Fetch(serve.port(), GetRequest(std::string(kScript) + "?")));
    ASSERT_TRUE(Fetch(serve.port(), GetRequest("/elsewhere")));
    ASSERT_TRUE(Fetch(serve.port(), GetRequest("/elsewhere?DoCommand&P3=secret-token")));
    EXPECT_EQ(serve.Stop(), 0);
    const std::string output = serve.Output();
    // The line shows what the access log does: no query values.
    EXPECT_EQ(output.find("secret-token"), std::string::npos) << output;
    EXPECT_EQ(output.find("GET /elsewhere?DoCommand 404 ") != std::string::npos, !quiet) << output;
    const bool logged_page =
        output.find(std::string("GET ") + kScript + "? 200 ") != std::string::npos;
    const bool logged_missing = output.find("GET /elsewhere 404 ") != std::string::npos;
    EXPECT_EQ(logged_page, !quiet) << output;
    EXPECT_EQ(logged_missing, !quiet) << output;
  }
}

TEST(ServeTest, HeadIsPassedToTheModule) {
  ServeProcess serve;
  ASSERT_NE(serve.port(), 0);
  HttpConnection connection(serve.port());
  ASSERT_TRUE(connection.Send(GetRequest(kScript, "HEAD") + GetRequest(kScript)));
  const auto response = connection.Read(true);
  ASSERT_TRUE(response);
  // The module answers HEAD with its status line alone (and an error): no
  // length is claimed that GET would not have, and the connection goes on.
  EXPECT_EQ(response->status, 200u);
  EXPECT_EQ(response->CountHeader("Content-Length"), 0);
  EXPECT_EQ(response->CountHeader("Content-Type"), 0);
  const auto pipelined = connection.Read();
  ASSERT_TRUE(pipelined);
  EXPECT_EQ(pipelined->status, 200u);
}

TEST(ServeTest, OtherPathIsNotFound) {
  ServeProcess serve;
  ASSERT_NE(serve.port(), 0);
  const auto response = Fetch(serve.port(), GetRequest("/scripts/other.dll?DoCommand"));
  ASSERT_TRUE(response);
  EXPECT_EQ(response->status, 404u);
}

TEST(ServeTest, BodyOverMaxBodyIsRefused) {
  ServeProcess serve({"--max-body", "4096"});
  ASSERT_NE(serve.port(), 0);
  {
    HttpConnection connection(serve.port());
    ASSERT_TRUE(connection.Send(std::string("POST ") + kScript +
                                "?StoreData HTTP/1.1\r\nHost: x\r\nContent-Length: 4097\r\n\r\n"));
    const auto response = connection.Read();
    ASSERT_TRUE(response);
    EXPECT_EQ(response->status, 413u);
  }
  {
    HttpConnection connection(serve.port());
    std::string request = std::string("POST ") + kScript +
                          "?StoreData HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n";
    for (int i = 0; i < 5; ++i) request += "400\r\n" + std::string(1024, 'z') + "\r\n";
    request += "0\r\n\r\n";
    ASSERT_TRUE(connection.Send(request));
    const auto response = connection.Read();
    ASSERT_TRUE(response);
    EXPECT_EQ(response->status, 413u);
  }
  // Neither reached the module: nothing was stored.
  EXPECT_TRUE(fs::is_empty(serve.root() / "post"));
}

TEST(ServeTest, TwoRequestsOnOneKeepAliveConnection) {
  ServeProcess serve;
  ASSERT_NE(serve.port(), 0);
  HttpConnection connection(serve.port());
  for (int i = 0; i < 2; ++i) {
    ASSERT_TRUE(connection.Send(GetRequest(kScript)));
    const auto response = connection.Read();
    ASSERT_TRUE(response) << i;
    EXPECT_EQ(response->status, 200u);
    EXPECT_EQ(response->body.rfind(kDefaultPageStart, 0), 0u);
  }
}

TEST(ServeTest, StoreDataBodyLargerThanTheAvailablePartIsStoredWhole) {
  ServeProcess serve;
  ASSERT_NE(serve.port(), 0);
  const std::string data = PostedData(200000);
  const auto response = Fetch(serve.port(), PostRequest(std::string(kScript) + "?StoreData", data));
  ASSERT_TRUE(response);
  EXPECT_EQ(response->status, 200u);
  EXPECT_EQ(response->body, "200000");
  EXPECT_TRUE(ReadWhole(serve.root() / "post" / "1.txt") == data);
}

TEST(ServeTest, RequestInFlightFinishesDuringGracefulStop) {
  ServeProcess serve;
  ASSERT_NE(serve.port(), 0);
  const std::string data = PostedData(100000);
  std::string request = PostRequest(std::string(kScript) + "?StoreData", data);
  request.insert(request.find("\r\n\r\n") + 2, "Expect: 100-continue\r\n");
  const std::size_t half = request.size() - data.size() / 2;
  HttpConnection connection(serve.port());
  ASSERT_TRUE(connection.Send(std::string_view(request).substr(0, half)));
  // The interim answer says the host has taken the request in.
  const auto go_on = connection.Read();
  ASSERT_TRUE(go_on);
  ASSERT_EQ(go_on->status, 100u);
  serve.Signal(SIGTERM);
  ASSERT_TRUE(serve.WaitForOutput("stopping on signal"));
  // Stopped accepting new connections: the host says it stops before it
  // closes its listener, so new connections are tried until one is refused
  // (one taken in between is answered and closed).
  bool refused = false;
  for (int tries = 0; tries < 10000 && !refused; ++tries) {
    HttpConnection late(serve.port());
    refused = !late.connected();
    if (!refused) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_TRUE(refused);
  // ...while the request already under way is finished and answered.
  ASSERT_TRUE(connection.Send(std::string_view(request).substr(half)));
  const auto response = connection.Read();
  ASSERT_TRUE(response);
  EXPECT_EQ(response->status, 200u);
  EXPECT_EQ(response->body, "100000");
  EXPECT_EQ(serve.Wait(15000), 0);
  EXPECT_TRUE(ReadWhole(serve.root() / "post" / "1.txt") == data);
  EXPECT_NE(serve.Output().find("dudarovuvadu-serve: stopped"), std::string::npos);
}

TEST(ServeTest, RefusesAModuleThatCannotBeLoaded) {
  const char* build_dir = std::getenv("DUDAROVUVADU_BUILD_DIR");
  ASSERT_NE(build_dir, nullptr);
  const std::string command = std::string(build_dir) +
                              "/dudarovuvadu-serve --listen 127.0.0.1:0 --module "
                              "/nonexistent/dudarovuvadu.so >/dev/null 2>&1";
  const int status = std::system(command.c_str());
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 1);
}

TEST(ServeTest, WarnsWhenTheTlsKeyIsReadableByEveryUser) {
  hosts_test::TestCertificate tls;
  ASSERT_TRUE(tls.made());
  for (const mode_t mode : {0644, 0600}) {
    ASSERT_EQ(chmod(tls.key().c_str(), mode), 0);
    ServeProcess serve(
        {"--listen", "https://127.0.0.1:0", "--tls-cert", tls.cert(), "--tls-key", tls.key()});
    ASSERT_NE(serve.port(), 0);
    const bool warned = serve.Errors().find("readable by every user") != std::string::npos;
    EXPECT_EQ(warned, mode == 0644) << std::oct << mode << ": " << serve.Errors();
  }
}

TEST(ServeTest, RefusesTlsFilesWithoutATlsListener) {
  hosts_test::TestCertificate tls;
  ASSERT_TRUE(tls.made());
  const char* build_dir = std::getenv("DUDAROVUVADU_BUILD_DIR");
  ASSERT_NE(build_dir, nullptr);
  const std::string errors = tls.cert() + ".err";
  const std::string command = std::string(build_dir) +
                              "/dudarovuvadu-serve --listen 127.0.0.1:0 --tls-cert " + tls.cert() +
                              " --tls-key " + tls.key() + " >/dev/null 2>" + errors;
  const int status = std::system(command.c_str());
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 2);
  EXPECT_NE(ReadWhole(errors).find("--listen https://ADDR:PORT"), std::string::npos)
      << ReadWhole(errors);
}

// A loopback address (127.23.x.y) on which `port` is free, or "".
std::string LoopbackAddressWithFreePort(std::uint16_t port) {
  for (unsigned attempt = 0; attempt < 16; ++attempt) {
    const unsigned host = (static_cast<unsigned>(getpid()) + attempt * 97) % 65000 + 1;
    const std::string address =
        "127.23." + std::to_string(host / 256) + "." + std::to_string(host % 256);
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return "";
    sockaddr_in bound{};
    bound.sin_family = AF_INET;
    bound.sin_port = htons(port);
    inet_pton(AF_INET, address.c_str(), &bound.sin_addr);
    const bool free = bind(fd, reinterpret_cast<const sockaddr*>(&bound), sizeof bound) == 0;
    close(fd);
    if (free) return address;
  }
  return "";
}

// The wait page of a TLS listener on 8080, a port the reload would use in
// clear, sends the browser back over https.
TEST(ServeTest, WaitPageOfATlsListenerOn8080ReloadsOverHttps) {
  hosts_test::TestCertificate tls;
  ASSERT_TRUE(tls.made());
  const std::string address = LoopbackAddressWithFreePort(8080);
  if (address.empty()) GTEST_SKIP() << "no 127.23.x.y address with port 8080 free";
  ServeProcess serve({"--listen", "https://" + address + ":8080", "--tls-cert", tls.cert(),
                      "--tls-key", tls.key()});
  ASSERT_NE(serve.port(), 0);
  const std::string url = "https://" + address + ":8080" + kScript +
                          "?DoCommand?Logon=anna&Command=getlist&P1=&P2=&P3=";
  const auto response = hosts_test::HttpExchange(url);
  ASSERT_TRUE(response) << serve.Errors();
  EXPECT_NE(response->body.find("\"https://" + address + ":8080" + kScript + "?DoCommand?"),
            std::string::npos)
      << response->body;
}

// The host wires the access log and the metrics to its requests: the
// forwarded client and the command name only in the log, a fresh file after
// a rotation and SIGHUP, counters that move with requests.
TEST(ServeTest, AccessLogAndMetricsFollowTheRequests) {
  ServeProcess serve({"--trusted-proxy", "127.0.0.1", "--access-log", "@ROOT@/access.log",
                      "--metrics-listen", "127.0.0.1:0"});
  ASSERT_NE(serve.port(), 0);
  ASSERT_TRUE(serve.WaitForOutput("metrics on port "));
  const std::string output = serve.Output();
  const int metrics_port = std::atoi(output.c_str() + output.find("metrics on port ") + 16);
  const fs::path log = serve.root() / "access.log";
  const std::string query = "?DoCommand?Logon=anna&Command=getlist&P1=&P2=&P3=secret";
  ASSERT_TRUE(Fetch(serve.port(), "GET " + std::string(kScript) + query +
                                      " HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                                      "X-Forwarded-For: 198.51.100.4\r\n"
                                      "User-Agent: serve-test\r\n\r\n"));
  ASSERT_TRUE(Fetch(serve.port(), GetRequest("/elsewhere")));
  // A request is counted once its last byte is out, just after the client
  // has it: the scrape is repeated until both are in (bounded at about 30 s,
  // far above the moment it takes, so a busy machine only waits longer).
  const std::string scrape_url = "http://127.0.0.1:" + std::to_string(metrics_port) + "/metrics";
  std::string metrics;
  const auto both_counted = [&metrics] {
    return metrics.find("dudarovuvadu_requests_total{class=\"2xx\"} 1\n") != std::string::npos &&
           metrics.find("dudarovuvadu_requests_total{class=\"4xx\"} 1\n") != std::string::npos;
  };
  for (int i = 0; i < 1500 && !both_counted(); ++i) {
    if (i != 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const auto page = hosts_test::HttpExchange(scrape_url);
    ASSERT_TRUE(page);
    metrics = page->body;
  }
  EXPECT_NE(metrics.find("dudarovuvadu_requests_total{class=\"2xx\"} 1\n"), std::string::npos)
      << metrics;
  EXPECT_NE(metrics.find("dudarovuvadu_requests_total{class=\"4xx\"} 1\n"), std::string::npos)
      << metrics;
  EXPECT_NE(metrics.find("dudarovuvadu_module_call_duration_seconds_count 1\n"), std::string::npos);

  fs::rename(log, serve.root() / "access.log.1");
  serve.Signal(SIGHUP);
  std::string current;
  // The host reopens the log at its own pace: asked again until it has
  // (bounded at about 30 s).
  for (int i = 0; i < 600 && current.find("?Default ") == std::string::npos; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_TRUE(Fetch(serve.port(), GetRequest(std::string(kScript) + "?Default")));
    current = ReadWhole(log);
  }
  EXPECT_EQ(serve.Stop(), 0);
  const std::string rotated = ReadWhole(serve.root() / "access.log.1");
  EXPECT_NE(rotated.find("198.51.100.4 - - ["), std::string::npos) << rotated;
  EXPECT_NE(rotated.find("\"GET /scripts/dudarovuvadu.dll?DoCommand HTTP/1.1\" 200 "),
            std::string::npos)
      << rotated;
  EXPECT_NE(rotated.find("\"-\" \"serve-test\" "), std::string::npos) << rotated;
  EXPECT_EQ(rotated.find("secret"), std::string::npos) << rotated;
  EXPECT_NE(rotated.find("127.0.0.1 - - ["), std::string::npos) << rotated;  // the 404
  EXPECT_NE(current.find("\"GET /scripts/dudarovuvadu.dll?Default HTTP/1.1\" 200 "),
            std::string::npos)
      << current;
}

TEST(ServeTest, RefusesAMalformedTrustedProxy) {
  const char* build_dir = std::getenv("DUDAROVUVADU_BUILD_DIR");
  ASSERT_NE(build_dir, nullptr);
  for (const char* spec : {"proxy.lan", "10.0.0.0/33", "'127.0.0.1 '", "::1/", "''"}) {
    const std::string command = std::string(build_dir) +
                                "/dudarovuvadu-serve --listen 127.0.0.1:0 --trusted-proxy " + spec +
                                " >/dev/null 2>&1";
    const int status = std::system(command.c_str());
    ASSERT_TRUE(WIFEXITED(status)) << spec;
    EXPECT_EQ(WEXITSTATUS(status), 2) << spec;
  }
}

TEST(ServeTest, LogsForwardedValuesItIgnoresAndKeepsThemOutOfTheWaitPage) {
  ServeProcess serve({"--trusted-proxy", "127.0.0.1"});
  ASSERT_NE(serve.port(), 0);
  const auto response =
      Fetch(serve.port(),
            "GET /scripts/dudarovuvadu.dll?DoCommand?Logon=anna&Command=x&P1=&P2=&P3= HTTP/1.1\r\n"
            "Host: 127.0.0.1\r\n"
            "X-Forwarded-Proto: https\r\n"
            "X-Forwarded-Host: \"><script>alert(1)</script>\r\n"
            "X-Forwarded-Port: 8443\r\n\r\n");
  ASSERT_TRUE(response);
  EXPECT_EQ(response->status, 200u);
  EXPECT_EQ(response->body.find("<script>alert"), std::string::npos) << response->body;
  // Scheme and port were good and are used; the host comes from Host.
  EXPECT_NE(response->body.find("https://127.0.0.1:8443/scripts/dudarovuvadu.dll?DoCommand?"),
            std::string::npos)
      << response->body;
  const std::string errors = ReadWhole(serve.root() / "serve.err");
  EXPECT_NE(
      errors.find("ignored X-Forwarded-Host \"\\\"\\x3E\\x3Cscript\\x3Ealert(1)\\x3C/script\\x3E\""
                  ": not a host name or address from 127.0.0.1"),
      std::string::npos)
      << errors;
}

}  // namespace
}  // namespace hosts
