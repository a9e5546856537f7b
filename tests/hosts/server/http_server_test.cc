// Tests of the embedded HTTP server, in process, with the probe extension:
// what the server hands an extension and how it answers with what the
// extension sends, over real connections on 127.0.0.1.
#include "hosts/server/http_server.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <future>
#include <memory>
#include <thread>
#include <vector>

#include "hosts/extension/extension_module.h"
#include "hosts/operations/access_log.h"
#include "hosts/operations/metrics.h"
#include "hosts/operations/metrics_listener.h"
#include "hosts/server/server_context.h"
#include "tests/harness/temp_dir.h"
#include "tests/hosts/http_client.h"

namespace hosts {
namespace {

using hosts_test::Fetch;
using hosts_test::GetRequest;
using hosts_test::HttpConnection;
using hosts_test::HttpResponse;
using hosts_test::PostRequest;

constexpr char kScript[] = "/scripts/dudarovuvadu.dll";

class HttpServerTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(StartServer(ServerOptions())); }

  bool StartServer(ServerOptions options) {
    std::string error;
    module_ = ExtensionModule::Load(PROBE_EXTENSION_PATH, &error);
    EXPECT_TRUE(module_) << error;
    if (!module_) return false;
    options.port = 0;
    options.quiet = true;
    server_ = std::make_unique<HttpServer>(options, module_->http_extension_proc(), nullptr);
    EXPECT_TRUE(server_->Start(&error)) << error;
    return server_->port() != 0;
  }

  void TearDown() override {
    if (server_) {
      EXPECT_TRUE(server_->Stop());
    }
    server_.reset();
    if (module_) {
      EXPECT_TRUE(module_->Unload());
    }
  }

  std::optional<HttpResponse> Get(const std::string& target, const char* method = "GET") {
    return Fetch(server_->port(), GetRequest(target, method), std::string(method) == "HEAD");
  }

  std::unique_ptr<ExtensionModule> module_;
  std::unique_ptr<HttpServer> server_;
};

// "name=value" lines of the echo probe.
std::string Field(const std::string& text, const std::string& name) {
  const std::string key = name + "=";
  std::size_t start = text.rfind("\n" + key);
  start =
      text.compare(0, key.size(), key) == 0 ? 0 : (start == std::string::npos ? start : start + 1);
  if (start == std::string::npos) return "<absent>";
  const std::size_t end = text.find('\n', start);
  return text.substr(start + key.size(), end - start - key.size());
}

// Requests the test holds inside the probe extension ("?hold=") and lets go
// when it chooses, so no verdict rests on how fast a worker runs. Every
// request still held is let go when the gate ends.
class Gate {
 public:
  ~Gate() { OpenAll(); }
  // The request target that is held at `name`.
  std::string Target(const std::string& name) const {
    return std::string(kScript) + "?hold=" + directory_.Path(name);
  }
  // Waits until the request held at `name` is inside the extension (or has
  // said so from an asynchronous write); false only if it never gets there.
  bool WaitUntilInside(const std::string& name) const {
    for (int tries = 0; tries < 60000; ++tries) {  // about a minute
      if (directory_.Exists(name + ".in")) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
  }
  void Open(const std::string& name) const { directory_.WriteFile(name + ".go", "go"); }
  void OpenAll() const {
    for (const auto& entry : std::filesystem::directory_iterator(directory_.path())) {
      if (entry.path().extension() == ".in") Open(entry.path().stem().string());
    }
  }
  std::string Path(const std::string& name) const { return directory_.Path(name); }

 private:
  harness::TempDir directory_;
};

// Opens the gate when a test body ends on any path, before the futures
// declared ahead of it wait for their held requests.
struct OpenAtExit {
  const Gate& gate;
  ~OpenAtExit() { gate.OpenAll(); }
};

// Tries new connections until one is refused: the server has stopped
// accepting. A connection taken just before is answered and closed.
bool WaitUntilRefused(std::uint16_t port) {
  for (int tries = 0; tries < 10000; ++tries) {
    HttpConnection late(port);
    if (!late.connected()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return false;
}

TEST_F(HttpServerTest, ModuleReportsItsVersion) {
  EXPECT_EQ(module_->VersionText(), "1.2");
  EXPECT_EQ(module_->description(), "Probe Extension");
}

TEST_F(HttpServerTest, ControlBlockAndServerVariables) {
  HttpConnection connection(server_->port());
  ASSERT_TRUE(connection.Send(std::string("GET ") + kScript +
                              "?echo HTTP/1.1\r\nHost: portal.example:8080\r\nX-Probe: p1\r\n"
                              "X-Probe: p2\r\n\r\n"));
  const std::optional<HttpResponse> response = connection.Read();
  ASSERT_TRUE(response);
  EXPECT_EQ(response->status, 200u);
  EXPECT_EQ(response->Header("Content-Type"), "text/plain");
  const std::string& text = response->body;
  EXPECT_EQ(Field(text, "method"), "GET");
  EXPECT_EQ(Field(text, "path"), kScript);
  EXPECT_EQ(Field(text, "total"), "0");
  EXPECT_EQ(Field(text, "REMOTE_ADDR"), "127.0.0.1");
  EXPECT_NE(Field(text, "REMOTE_PORT"), "0");
  EXPECT_EQ(Field(text, "SERVER_NAME"), "portal.example");
  EXPECT_EQ(Field(text, "SERVER_PORT"), std::to_string(server_->port()));
  EXPECT_EQ(Field(text, "SCRIPT_NAME"), kScript);
  EXPECT_EQ(Field(text, "PATH_INFO"), kScript);
  EXPECT_EQ(Field(text, "QUERY_STRING"), "echo");
  EXPECT_EQ(Field(text, "REQUEST_METHOD"), "GET");
  EXPECT_EQ(Field(text, "SERVER_PROTOCOL"), "HTTP/1.1");
  EXPECT_EQ(Field(text, "HTTP_X_PROBE"), "p1, p2");
  EXPECT_EQ(Field(text, "HTTP_HOST"), "portal.example:8080");
  EXPECT_EQ(Field(text, "NO_SUCH_VARIABLE"), "<unknown>");
  EXPECT_EQ(Field(text, "CONTENT_LENGTH"), "0");
}

TEST_F(HttpServerTest, PostBodyIsDescribedInControlBlockAndVariables) {
  HttpConnection connection(server_->port());
  ASSERT_TRUE(connection.Send(std::string("POST ") + kScript +
                              "?echo HTTP/1.1\r\nHost: x\r\nContent-Type: text/plain\r\n"
                              "Transfer-Encoding: chunked\r\n\r\nA\r\n0123456789\r\n0\r\n\r\n"));
  const auto response = connection.Read();
  ASSERT_TRUE(response);
  EXPECT_EQ(Field(response->body, "method"), "POST");
  EXPECT_EQ(Field(response->body, "total"), "10");
  EXPECT_EQ(Field(response->body, "available"), "10");
  EXPECT_EQ(Field(response->body, "content_type"), "text/plain");
  EXPECT_EQ(Field(response->body, "CONTENT_LENGTH"), "10");
  EXPECT_EQ(Field(response->body, "CONTENT_TYPE"), "text/plain");
}

TEST_F(HttpServerTest, HostHeaderWithMarkupIsNotUsedAsServerName) {
  // No Host header (HTTP/1.0), then a Host header that could inject markup
  // into the pages the module builds from SERVER_NAME.
  for (const std::string& host_line : {std::string(), std::string("Host: a\"><script>:80\r\n")}) {
    const auto response = Fetch(
        server_->port(), std::string("GET ") + kScript + "?echo HTTP/1.0\r\n" + host_line + "\r\n");
    ASSERT_TRUE(response);
    EXPECT_EQ(Field(response->body, "SERVER_NAME"), "127.0.0.1") << host_line;
  }
}

TEST_F(HttpServerTest, QueryStringArrivesRawAndUndecoded) {
  const auto response = Get(std::string(kScript) + "?query=%41%20b+c&x=%C3%A9?y");
  ASSERT_TRUE(response);
  EXPECT_EQ(response->body, "query=%41%20b+c&x=%C3%A9?y");
}

TEST_F(HttpServerTest, ServerVariableSizeSemanticsThroughTheHost) {
  const struct {
    const char* query;
    const char* body;
  } cases[] = {
      {"var=SCRIPT_NAME,250", "ok size=26 value=/scripts/dudarovuvadu.dll"},
      {"var=SCRIPT_NAME,26", "ok size=26 value=/scripts/dudarovuvadu.dll"},
      {"var=SCRIPT_NAME,25", "fail size=26 enobufs=1"},
      {"var=SCRIPT_NAME,0", "fail size=26 enobufs=1"},
      {"var=NO_SUCH,250", "fail size=250 enobufs=0"},
  };
  for (const auto& test : cases) {
    const auto response = Get(std::string(kScript) + "?" + test.query);
    ASSERT_TRUE(response) << test.query;
    EXPECT_EQ(response->body, test.body) << test.query;
  }
}

TEST_F(HttpServerTest, LargeBodyReachesTheExtensionWholeThroughReadClient) {
  std::string body(1'000'000, '\0');
  for (std::size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>(i * 31 + (i >> 9));
  const auto response = Fetch(server_->port(), PostRequest(std::string(kScript) + "?body", body));
  ASSERT_TRUE(response);
  EXPECT_EQ(response->status, 200u);
  EXPECT_EQ(response->Header("X-Total"), "1000000");
  EXPECT_EQ(response->Header("X-Available"), "49152");
  EXPECT_GT(std::stoi(response->Header("X-Read-Calls").value_or("0")), 1);
  EXPECT_TRUE(response->body == body);
}

TEST_F(HttpServerTest, ChunkedBodyIsCountedAndDelivered) {
  HttpConnection connection(server_->port());
  ASSERT_TRUE(connection.Send(std::string("POST ") + kScript +
                              "?body HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n"
                              "5\r\nhello\r\n6\r\n world\r\n0\r\n\r\n"));
  const auto response = connection.Read();
  ASSERT_TRUE(response);
  EXPECT_EQ(response->Header("X-Total"), "11");
  EXPECT_EQ(response->body, "hello world");
}

TEST_F(HttpServerTest, ModuleContentLengthIsNeverSentTwice) {
  for (const char* probe : {"length-right", "length-wrong"}) {
    const auto response = Get(std::string(kScript) + "?" + probe);
    ASSERT_TRUE(response) << probe;
    EXPECT_EQ(response->CountHeader("Content-Length"), 1) << probe;
    EXPECT_EQ(response->Header("Content-Length"), "5") << probe;
    EXPECT_EQ(response->body, "hello") << probe;
    EXPECT_EQ(response->CountHeader("X-Probe"), 1) << probe;
  }
}

// The extension's answers, the server's own and its stand-in for a failed
// extension all carry one Date in the fixed HTTP form.
TEST_F(HttpServerTest, EveryResponseIsDated) {
  for (const std::string& target : {std::string(kScript) + "?length-right",
                                    std::string(kScript) + "?silent-failure", std::string("/x")}) {
    const auto response = Get(target);
    ASSERT_TRUE(response) << target;
    ASSERT_EQ(response->CountHeader("Date"), 1) << target;
    const std::string text = response->Header("Date").value_or("");
    std::tm date{};
    const char* end = strptime(text.c_str(), "%a, %d %b %Y %H:%M:%S GMT", &date);
    ASSERT_TRUE(end != nullptr && *end == '\0') << target << ": " << text;
    EXPECT_LE(std::abs(timegm(&date) - std::time(nullptr)), 5) << target << ": " << text;
  }
}

TEST_F(HttpServerTest, StatusLineOnlyGivesEmptyBodyAndClosesAfterAnError) {
  HttpConnection connection(server_->port());
  ASSERT_TRUE(connection.Send(GetRequest(std::string(kScript) + "?status-only")));
  const auto response = connection.Read();
  ASSERT_TRUE(response);
  EXPECT_EQ(response->status, 413u);
  EXPECT_EQ(response->body, "");
  EXPECT_EQ(response->Header("Content-Length"), "0");
  // HSE_STATUS_ERROR: the server drops the connection after the answer.
  EXPECT_TRUE(connection.WaitForClose());
}

TEST_F(HttpServerTest, SilentFailureIsAnsweredWithServerError) {
  const auto response = Get(std::string(kScript) + "?silent-failure");
  ASSERT_TRUE(response);
  EXPECT_EQ(response->status, 500u);
  EXPECT_EQ(response->body, "");
}

TEST_F(HttpServerTest, HeaderInjectionByBareCarriageReturnIsNotSent) {
  const auto response = Get(std::string(kScript) + "?header-injection");
  ASSERT_TRUE(response);
  EXPECT_EQ(response->Header("X-Good"), "1");
  EXPECT_EQ(response->CountHeader("Set-Cookie"), 0);
  EXPECT_EQ(response->CountHeader("X-Bad"), 0);
  EXPECT_NE(response->body.find("body"), std::string::npos);
}

TEST_F(HttpServerTest, OtherPathsAreNotFound) {
  for (const char* target : {"/", "/scripts/dudarovuvadu.dl", "/scripts/dudarovuvadu.dll/x",
                             "/SCRIPTS/dudarovuvadu.dll?echo"}) {
    const auto response = Get(target);
    ASSERT_TRUE(response) << target;
    EXPECT_EQ(response->status, 404u) << target;
  }
}

TEST_F(HttpServerTest, NotFoundKeepsTheConnection) {
  HttpConnection connection(server_->port());
  ASSERT_TRUE(connection.Send(PostRequest("/elsewhere", std::string(5000, 'b'))));
  const auto missing = connection.Read();
  ASSERT_TRUE(missing);
  EXPECT_EQ(missing->status, 404u);
  ASSERT_TRUE(connection.Send(GetRequest(std::string(kScript) + "?echo")));
  const auto found = connection.Read();
  ASSERT_TRUE(found);
  EXPECT_EQ(found->status, 200u);
}

TEST_F(HttpServerTest, HeadPassesTheMethodAndSendsNoBody) {
  HttpConnection connection(server_->port());
  ASSERT_TRUE(connection.Send(GetRequest(std::string(kScript) + "?echo", "HEAD")));
  const auto head = connection.Read(true);
  ASSERT_TRUE(head);
  EXPECT_EQ(head->status, 200u);
  EXPECT_NE(head->Header("Content-Length"), "0");  // the length the GET would have
  // The connection carries on: no stray body bytes precede the next answer.
  ASSERT_TRUE(connection.Send(GetRequest(std::string(kScript) + "?echo")));
  const auto get = connection.Read();
  ASSERT_TRUE(get);
  EXPECT_EQ(Field(get->body, "method"), "GET");
  // The echo names the method twice: "HEAD" reached the extension as it came.
  EXPECT_EQ(std::stoul(head->Header("Content-Length").value_or("0")),
            std::stoul(get->Header("Content-Length").value_or("0")) + 2);
}

TEST_F(HttpServerTest, KeepAliveServesSeveralRequestsOnOneConnection) {
  HttpConnection connection(server_->port());
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(connection.Send(GetRequest(std::string(kScript) + "?echo")));
    const auto response = connection.Read();
    ASSERT_TRUE(response) << i;
    EXPECT_EQ(response->status, 200u);
  }
}

TEST_F(HttpServerTest, HeadsLargeAndSmallOnOneConnectionKeepTheirFields) {
  // A head's fields are kept in the connection's room when they fit, and
  // beyond it when they do not; each request sees its own.
  HttpConnection connection(server_->port());
  for (const std::size_t filler : {6000u, 5u, 1500u}) {
    const std::string probe = "probe-" + std::to_string(filler);
    ASSERT_TRUE(connection.Send(std::string("GET ") + kScript +
                                "?echo HTTP/1.1\r\nX-Filler: " + std::string(filler, 'f') +
                                "\r\nHost: 127.0.0.1\r\nX-Probe: " + probe + "\r\n\r\n"));
    const auto response = connection.Read();
    ASSERT_TRUE(response) << filler;
    EXPECT_EQ(Field(response->body, "HTTP_X_PROBE"), probe);
    EXPECT_EQ(Field(response->body, "HTTP_HOST"), "127.0.0.1") << filler;
  }
}

TEST_F(HttpServerTest, PipelinedRequestsAreAnsweredInOrder) {
  // Three requests in one send, the last a head split from its end.
  HttpConnection connection(server_->port());
  const std::string second = GetRequest(std::string(kScript) + "?query=2");
  ASSERT_TRUE(connection.Send(GetRequest(std::string(kScript) + "?query=1") + second +
                              GetRequest(std::string(kScript) + "?query=3").substr(0, 20)));
  const auto first = connection.Read();
  const auto then = connection.Read();
  ASSERT_TRUE(first && then);
  EXPECT_EQ(first->body, "query=1");
  EXPECT_EQ(then->body, "query=2");
  ASSERT_TRUE(connection.Send(GetRequest(std::string(kScript) + "?query=3").substr(20)));
  const auto last = connection.Read();
  ASSERT_TRUE(last);
  EXPECT_EQ(last->body, "query=3");
}

TEST_F(HttpServerTest, SlowRequestsDoNotHoldUpOthers) {
  // The extension runs on workers: while one is held, another is answered.
  Gate gate;
  auto slow = std::async(std::launch::async, [&] { return Get(gate.Target("slow")); });
  const OpenAtExit open_at_exit{gate};
  ASSERT_TRUE(gate.WaitUntilInside("slow"));
  const auto quick = Get(std::string(kScript) + "?echo");
  ASSERT_TRUE(quick);
  EXPECT_EQ(quick->status, 200u);
  EXPECT_EQ(slow.wait_for(std::chrono::seconds(0)), std::future_status::timeout);
  gate.Open("slow");
  const auto slow_response = slow.get();
  ASSERT_TRUE(slow_response);
  EXPECT_EQ(slow_response->body, "released");
}

TEST_F(HttpServerTest, GracefulStopFinishesTheRequestInFlight) {
  Gate gate;
  HttpConnection connection(server_->port());
  ASSERT_TRUE(connection.Send(GetRequest(gate.Target("held"))));
  ASSERT_TRUE(gate.WaitUntilInside("held"));
  const std::uint16_t port = server_->port();
  auto stopped = std::async(std::launch::async, [this] { return server_->Stop(); });
  const OpenAtExit open_at_exit{gate};
  // The stop is under way, and waits for the request held inside.
  ASSERT_TRUE(WaitUntilRefused(port));
  EXPECT_EQ(stopped.wait_for(std::chrono::seconds(0)), std::future_status::timeout);
  gate.Open("held");
  const auto response = connection.Read();
  ASSERT_TRUE(response);
  EXPECT_EQ(response->status, 200u);
  EXPECT_EQ(response->body, "released");
  EXPECT_EQ(response->Header("Connection"), "close");
  EXPECT_TRUE(stopped.get());
  // No longer accepting.
  HttpConnection late(port);
  EXPECT_FALSE(late.connected() && late.Send(GetRequest(kScript)) && late.Read());
}

// A stop whose grace for bodies still arriving outlasts any test run: it
// returns only by seeing those bodies' clients leave.
class HttpServerPatientStopTest : public HttpServerTest {
 protected:
  void SetUp() override {
    ServerOptions options;
    options.drain_timeout_seconds = 24 * 3600;
    options.body_grace_at_stop = std::chrono::hours(24);
    ASSERT_TRUE(StartServer(options));
  }
};

TEST_F(HttpServerPatientStopTest, ClientLeavingMidRequestDoesNotHoldUpTheStop) {
  {
    HttpConnection headers_only(server_->port());
    ASSERT_TRUE(headers_only.Send(std::string("GET ") + kScript + "?echo HTTP/1.1\r\nHost: x\r\n"));
    HttpConnection body_half(server_->port());
    ASSERT_TRUE(body_half.Send(std::string("POST ") + kScript +
                               "?body HTTP/1.1\r\nHost: x\r\nContent-Length: 10\r\n"
                               "Expect: 100-continue\r\n\r\nabc"));
    // The interim answer says the body is being read when its client leaves.
    const auto go_on = body_half.Read();
    ASSERT_TRUE(go_on);
    ASSERT_EQ(go_on->status, 100u);
  }  // both clients go away
  // The server sees them leave at its own pace; the stop ends once it has,
  // never by its grace.
  EXPECT_TRUE(server_->Stop());
}

// Byte i of the probe's streamed responses.
std::string StreamPattern(std::size_t size) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(i % 251);
  return bytes;
}

TEST_F(HttpServerTest, LargeResponsesArriveWholeHoweverTheyAreWritten) {
  const struct {
    const char* probe;
    std::size_t size;
    const char* framing;  // Content-Length or Transfer-Encoding
  } cases[] = {
      {"stream=5000000", 5000000, "Content-Length"},
      {"stream=3000000,whole", 3000000, "Content-Length"},
      {"stream=2000000,nolength", 2000000, "Transfer-Encoding"},
      {"stream=300000,nolength,whole", 300000, "Transfer-Encoding"},
  };
  HttpConnection connection(server_->port());
  for (const auto& test : cases) {
    ASSERT_TRUE(connection.Send(GetRequest(std::string(kScript) + "?" + test.probe)));
    const auto response = connection.Read();
    ASSERT_TRUE(response) << test.probe;
    EXPECT_EQ(response->status, 200u) << test.probe;
    EXPECT_EQ(response->CountHeader(test.framing), 1) << test.probe;
    EXPECT_EQ(response->body.size(), test.size) << test.probe;
    EXPECT_TRUE(response->body == StreamPattern(test.size)) << test.probe;
  }
  // HEAD of a streamed response: its length, no body, the connection goes on.
  ASSERT_TRUE(connection.Send(GetRequest(std::string(kScript) + "?stream=1000000", "HEAD")));
  const auto head = connection.Read(true);
  ASSERT_TRUE(head);
  EXPECT_EQ(head->Header("Content-Length"), "1000000");
  ASSERT_TRUE(connection.Send(GetRequest(std::string(kScript) + "?echo")));
  const auto after = connection.Read();
  ASSERT_TRUE(after);
  EXPECT_EQ(Field(after->body, "method"), "GET");
}

TEST_F(HttpServerTest, AmbiguousFramingIsRefusedAndTheConnectionClosed) {
  const struct {
    const char* name;
    const char* headers;
  } cases[] = {
      {"two lengths", "Content-Length: 3\r\nContent-Length: 4\r\n"},
      {"two equal lengths", "Content-Length: 3\r\nContent-Length: 3\r\n"},
      {"length list", "Content-Length: 3, 3\r\n"},
      {"signed length", "Content-Length: +3\r\n"},
      {"negative length", "Content-Length: -1\r\n"},
      {"twenty digits", "Content-Length: 18446744073709551616\r\n"},
      {"hexadecimal length", "Content-Length: 0x3\r\n"},
      {"length then chunked", "Content-Length: 3\r\nTransfer-Encoding: chunked\r\n"},
      {"chunked then length", "Transfer-Encoding: chunked\r\nContent-Length: 3\r\n"},
      {"coding besides chunked", "Transfer-Encoding: gzip, chunked\r\n"},
      {"two codings fields", "Transfer-Encoding: chunked\r\nTransfer-Encoding: chunked\r\n"},
  };
  for (const auto& test : cases) {
    HttpConnection connection(server_->port());
    ASSERT_TRUE(connection.Send(std::string("POST ") + kScript + "?body HTTP/1.1\r\nHost: x\r\n" +
                                test.headers + "\r\n3\r\nabc\r\n0\r\n\r\n"))
        << test.name;
    const auto response = connection.Read();
    ASSERT_TRUE(response) << test.name;
    EXPECT_EQ(response->status, 400u) << test.name;
    EXPECT_EQ(response->Header("Connection"), "close") << test.name;
    EXPECT_TRUE(connection.WaitForClose()) << test.name;
  }
}

TEST_F(HttpServerTest, OversizedRequestHeadsAreRefused) {
  std::string many_fields;
  for (int i = 0; i < 150; ++i) many_fields += "X-F" + std::to_string(i) + ": v\r\n";
  const struct {
    const char* name;
    std::string headers;
  } cases[] = {
      {"one huge field", "X-Big: " + std::string(20000, 'b') + "\r\n"},
      {"too many fields", many_fields},
  };
  for (const auto& test : cases) {
    HttpConnection connection(server_->port());
    ASSERT_TRUE(connection.Send(std::string("GET ") + kScript + "?echo HTTP/1.1\r\nHost: x\r\n" +
                                test.headers + "\r\n"))
        << test.name;
    const auto response = connection.Read();
    ASSERT_TRUE(response) << test.name;
    EXPECT_EQ(response->status, 431u) << test.name;
    EXPECT_TRUE(connection.WaitForClose()) << test.name;
  }
}

// Requests built to break the server: each is refused (or its connection
// closed), and the server answers the next client. The first two once ended
// the process from inside the HTTP library.
TEST_F(HttpServerTest, HostileRequestsAreRefusedAndTheServerGoesOn) {
  const std::string post = std::string("POST ") + kScript + "?body HTTP/1.1\r\nHost: a\r\n";
  const std::string chunked = post + "Transfer-Encoding: chunked\r\n\r\n";
  std::string many_trailers = chunked + "0\r\n";
  for (int i = 0; i < 2000; ++i) many_trailers += "X: v\r\n";
  const struct {
    const char* name;
    std::string request;
    unsigned status;
  } cases[] = {
      {"trailer value of 64 KiB", chunked + "0\r\nX: " + std::string(65534, 'a') + "\r\n\r\n", 400},
      {"trailer name of 64 KiB", chunked + "0\r\n" + std::string(65534, 'a') + ": v\r\n\r\n", 400},
      {"chunk line without an end", chunked + "1;" + std::string(200000, 'e'), 400},
      {"2,000 trailer fields", many_trailers + "\r\n", 431},
      {"no Host", std::string("GET ") + kScript + "?echo HTTP/1.1\r\n\r\n", 400},
      {"two Hosts", std::string("GET ") + kScript + "?echo HTTP/1.1\r\nHost: a\r\nHost: b\r\n\r\n",
       400},
      {"malformed Host", std::string("GET ") + kScript + "?echo HTTP/1.1\r\nHost: a]b[\r\n\r\n",
       400},
      {"chunked on HTTP/1.0",
       std::string("POST ") + kScript +
           "?body HTTP/1.0\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n0\r\n\r\n",
       400},
  };
  for (const auto& test : cases) {
    HttpConnection connection(server_->port());
    ASSERT_TRUE(connection.Send(test.request)) << test.name;
    const auto response = connection.Read();
    ASSERT_TRUE(response) << test.name;
    EXPECT_EQ(response->status, test.status) << test.name;
    EXPECT_TRUE(connection.WaitForClose()) << test.name;
    const auto next = Get(std::string(kScript) + "?echo");
    ASSERT_TRUE(next) << test.name;
    EXPECT_EQ(next->status, 200u) << test.name;
  }
}

class HttpServerFewWorkersTest : public HttpServerTest {
 protected:
  void SetUp() override {
    ServerOptions options;
    options.threads = 2;
    options.inline_calls = false;  // every call on a worker: the pool's growth is under test
    ASSERT_TRUE(StartServer(options));
  }
};

TEST_F(HttpServerFewWorkersTest, RequestsHeldInTheExtensionDoNotHoldUpOthers) {
  // More requests wait inside the extension (as behind a lock) than there are
  // workers; a quick request is still answered while they are all held.
  Gate gate;
  std::vector<std::future<std::optional<HttpResponse>>> slow;
  for (int i = 0; i < 6; ++i) {
    slow.push_back(std::async(std::launch::async,
                              [&, i] { return Get(gate.Target("slow" + std::to_string(i))); }));
  }
  const OpenAtExit open_at_exit{gate};
  for (int i = 0; i < 6; ++i) ASSERT_TRUE(gate.WaitUntilInside("slow" + std::to_string(i))) << i;
  const auto quick = Get(std::string(kScript) + "?echo");
  ASSERT_TRUE(quick);
  EXPECT_EQ(quick->status, 200u);
  for (auto& request : slow) {
    EXPECT_EQ(request.wait_for(std::chrono::seconds(0)), std::future_status::timeout);
  }
  gate.OpenAll();
  for (auto& request : slow) {
    const auto response = request.get();
    ASSERT_TRUE(response);
    EXPECT_EQ(response->body, "released");
  }
}

class HttpServerFloodTest : public HttpServerTest {
 protected:
  void SetUp() override {
    ServerOptions options;
    options.header_timeout_seconds = 3;
    ASSERT_TRUE(StartServer(options));
  }
};

TEST_F(HttpServerFloodTest, SlowClientsFromOneAddressDoNotLockOthersOut) {
  // 1,100 connections from 127.0.0.2, each sending a byte of its request head
  // every second; meanwhile a client on 127.0.0.3 asks every 250 ms.
  std::vector<std::unique_ptr<HttpConnection>> slow;
  for (int i = 0; i < 1100; ++i) {
    slow.push_back(std::make_unique<HttpConnection>(server_->port(), "127.0.0.1", "127.0.0.2"));
  }
  const std::string head = std::string("GET ") + kScript + "?echo HTTP/1.1\r\nHost: x\r\n";
  std::atomic<bool> done{false};
  std::thread trickle([&] {
    for (std::size_t byte = 0; byte < head.size() && !done; ++byte) {
      for (auto& connection : slow) {
        if (connection->connected()) connection->Send(head.substr(byte, 1));
      }
      std::this_thread::sleep_for(std::chrono::seconds(1));
    }
  });
  // The pause between questions only spreads them over the slow clients'
  // lives; every question must be answered, however many of those live on.
  constexpr int kAsked = 24;
  int answered = 0;
  for (int asked = 0; asked < kAsked; ++asked) {
    HttpConnection client(server_->port(), "127.0.0.1", "127.0.0.3");
    if (client.Send(GetRequest(std::string(kScript) + "?echo"))) {
      const auto response = client.Read();
      if (response && response->status == 200u &&
          Field(response->body, "REMOTE_ADDR") == "127.0.0.3") {
        ++answered;
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
  }
  // The head deadline closes every slow connection: each is waited for.
  int still_open = 0;
  for (auto& connection : slow) {
    if (connection->connected() && !connection->WaitForClose(30000)) ++still_open;
  }
  done = true;
  trickle.join();
  EXPECT_EQ(answered, kAsked);
  EXPECT_EQ(still_open, 0);
}

class HttpServerLimitTest : public HttpServerTest {
 protected:
  void SetUp() override {
    ServerOptions options;
    options.max_body = 1000;
    options.max_body_memory = 1500;
    options.idle_timeout_seconds = 1;
    ASSERT_TRUE(StartServer(options));
  }
};

TEST_F(HttpServerLimitTest, IdleConnectionIsClosed) {
  HttpConnection connection(server_->port());
  ASSERT_TRUE(connection.Send(GetRequest(std::string(kScript) + "?echo")));
  ASSERT_TRUE(connection.Read());
  EXPECT_TRUE(connection.WaitForClose(30000));
}

// Calls on a worker, so the connection's strand is free while the module
// works, with a short idle deadline.
class HttpServerWorkerCallTest : public HttpServerTest {
 protected:
  void SetUp() override {
    ServerOptions options;
    options.idle_timeout_seconds = 1;
    options.inline_calls = false;
    ASSERT_TRUE(StartServer(options));
  }
};

TEST_F(HttpServerWorkerCallTest, TheModulesTimeIsNotTheClientsIdleTime) {
  // The module thinks for 1.5 s before its first byte and between two
  // writes; the idle deadline is 1 s.
  HttpConnection connection(server_->port());
  ASSERT_TRUE(connection.Send(GetRequest(std::string(kScript) + "?pause=1500")));
  const auto response = connection.Read(false, 10000);
  ASSERT_TRUE(response);
  EXPECT_EQ(response->body, std::string(300 * 1024, 'p') + "end");
}

TEST_F(HttpServerLimitTest, DeclaredBodyOverTheLimitIsRefusedUnread) {
  HttpConnection connection(server_->port());
  ASSERT_TRUE(connection.Send(std::string("POST ") + kScript +
                              "?body HTTP/1.1\r\nHost: x\r\nContent-Length: 1001\r\n\r\n"));
  const auto response = connection.Read();
  ASSERT_TRUE(response);
  EXPECT_EQ(response->status, 413u);
}

TEST_F(HttpServerLimitTest, BodyAtTheLimitIsServed) {
  const auto response =
      Fetch(server_->port(), PostRequest(std::string(kScript) + "?body", std::string(1000, 'x')));
  ASSERT_TRUE(response);
  EXPECT_EQ(response->status, 200u);
  EXPECT_EQ(response->body.size(), 1000u);
}

TEST_F(HttpServerLimitTest, ClientThatWritesItsWholeBodyFirstReadsTheRefusal) {
  // Over the limit by a lot, sent whole before reading, as simple clients do:
  // the early answer is not lost to a reset.
  for (const char* target : {"?body", "/elsewhere"}) {
    HttpConnection connection(server_->port());
    const std::string path = target[0] == '?' ? std::string(kScript) + target : target;
    ASSERT_TRUE(connection.Send(PostRequest(path, std::string(2 * 1024 * 1024, 'z')))) << target;
    const auto response = connection.Read();
    ASSERT_TRUE(response) << target;
    EXPECT_EQ(response->status, 413u) << target;
  }
}

TEST_F(HttpServerLimitTest, ChunkedBodyOverTheLimitIsRefused) {
  HttpConnection connection(server_->port());
  std::string request = std::string("POST ") + kScript +
                        "?body HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n";
  for (int i = 0; i < 3; ++i) request += "190\r\n" + std::string(400, 'y') + "\r\n";
  request += "0\r\n\r\n";
  ASSERT_TRUE(connection.Send(request));
  const auto response = connection.Read();
  ASSERT_TRUE(response);
  EXPECT_EQ(response->status, 413u);
}

TEST_F(HttpServerLimitTest, BodiesHeldAtOnceAreBoundedAcrossConnections) {
  // Two bodies of 1,000 bytes under way pass the 1,500 bytes all bodies may
  // hold: the second is refused before it is read.
  // The interim answer says the first head is read and its body counted.
  HttpConnection first(server_->port());
  ASSERT_TRUE(first.Send(std::string("POST ") + kScript +
                         "?body HTTP/1.1\r\nHost: x\r\nContent-Length: 1000\r\n"
                         "Expect: 100-continue\r\n\r\nhalf"));
  const auto go_on = first.Read();
  ASSERT_TRUE(go_on);
  ASSERT_EQ(go_on->status, 100u);
  HttpConnection second(server_->port());
  ASSERT_TRUE(second.Send(std::string("POST ") + kScript +
                          "?body HTTP/1.1\r\nHost: x\r\nContent-Length: 1000\r\n\r\n"));
  const auto refused = second.Read();
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->status, 503u);
  ASSERT_TRUE(first.Send(std::string(996, 'f')));
  const auto served = first.Read();
  ASSERT_TRUE(served);
  EXPECT_EQ(served->status, 200u);
}

// One worker, and clients that ask for large answers and read nothing: the
// module writes them asynchronously, so no worker waits on them.
class HttpServerSlowReaderTest : public HttpServerTest {
 protected:
  void SetUp() override {
    ServerOptions options;
    options.threads = 1;
    options.max_threads = 1;
    options.per_address_responses = 3;
    ASSERT_TRUE(StartServer(options));
  }
};

TEST_F(HttpServerSlowReaderTest, ClientsThatDoNotReadHoldNoWorker) {
  // Each stalled answer says when its writes are under way; the one worker
  // has run all nine, so none of them kept it.
  Gate gate;
  std::vector<std::unique_ptr<HttpConnection>> stalled;
  for (const char* address : {"127.0.0.2", "127.0.0.3", "127.0.0.4"}) {
    for (int i = 0; i < 3; ++i) {
      const std::string name = std::to_string(stalled.size());
      stalled.push_back(std::make_unique<HttpConnection>(server_->port(), "127.0.0.1", address));
      ASSERT_TRUE(stalled.back()->Send(
          GetRequest(std::string(kScript) + "?async=16000000," + gate.Path(name))));
    }
  }
  for (std::size_t i = 0; i < stalled.size(); ++i) {
    ASSERT_TRUE(gate.WaitUntilInside(std::to_string(i))) << i;
  }
  HttpConnection client(server_->port(), "127.0.0.1", "127.0.0.5");
  ASSERT_TRUE(client.Send(GetRequest(std::string(kScript) + "?echo")));
  const auto answer = client.Read();
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->status, 200u);
  // A fourth from one address passes its bound of responses in flight.
  HttpConnection fourth(server_->port(), "127.0.0.1", "127.0.0.2");
  ASSERT_TRUE(fourth.Send(GetRequest(std::string(kScript) + "?async=16000000")));
  const auto refused = fourth.Read(false, 30000);
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->status, 503u);
  // And a client that reads gets every byte of the same answer.
  const auto whole = Get(std::string(kScript) + "?async=1000000");
  ASSERT_TRUE(whole);
  ASSERT_EQ(whole->body.size(), 1000000u);
  for (std::size_t i = 0; i < whole->body.size(); i += 4099) {
    ASSERT_EQ(static_cast<unsigned char>(whole->body[i]), i % 251) << i;
  }
}

class HttpServerStopTest : public HttpServerTest {
 protected:
  void SetUp() override {
    ServerOptions options;
    options.drain_timeout_seconds = 1;
    ASSERT_TRUE(StartServer(options));
  }
};

TEST_F(HttpServerStopTest, BodyStillArrivingIsAnsweredAndDoesNotHoldTheStop) {
  // The interim answer says the body is being read when the stop begins.
  HttpConnection trickle(server_->port());
  ASSERT_TRUE(trickle.Send(std::string("POST ") + kScript +
                           "?body HTTP/1.1\r\nHost: x\r\nContent-Length: 1000\r\n"
                           "Expect: 100-continue\r\n\r\nsome"));
  const auto go_on = trickle.Read();
  ASSERT_TRUE(go_on);
  ASSERT_EQ(go_on->status, 100u);
  auto stopped = std::async(std::launch::async, [this] { return server_->Stop(); });
  const auto response = trickle.Read(false, 30000);
  ASSERT_TRUE(response);
  EXPECT_EQ(response->status, 503u);
  EXPECT_TRUE(stopped.get());
}

// Behind a trusted proxy (the tests' own address, 127.0.0.1): the limits,
// the access log and the metrics count the client the proxy names.
class HttpServerProxyTest : public HttpServerTest {
 protected:
  void SetUp() override {
    std::string error;
    access_log_ = AccessLog::Open({directory_.Path("access.log"), false, 1024 * 1024}, &error);
    ASSERT_NE(access_log_, nullptr) << error;
    listener_ = MetricsListener::Start("127.0.0.1:0", metrics_, &error);
    ASSERT_NE(listener_, nullptr) << error;
    ServerOptions options;
    ASSERT_TRUE(options.trusted_proxies.Add("127.0.0.1", &error)) << error;
    options.per_address_connections = 4;
    options.per_address_responses = 4;
    options.rate_limit = 0.001;  // no refill within a test
    options.rate_burst = 8;
    options.access_log = access_log_.get();
    options.metrics = &metrics_;
    ASSERT_TRUE(StartServer(options));
  }

  // A request from the proxy for `client`.
  static std::string ForwardedGet(const std::string& query, const std::string& client) {
    return std::string("GET ") + kScript + "?" + query +
           " HTTP/1.1\r\nHost: x\r\nX-Forwarded-For: " + client + "\r\n\r\n";
  }

  std::string Scrape() {
    const auto page = hosts_test::HttpExchange(
        "http://127.0.0.1:" + std::to_string(listener_->port()) + "/metrics");
    return page ? page->body : "<no page>";
  }

  harness::TempDir directory_;
  std::unique_ptr<AccessLog> access_log_;
  Metrics metrics_;
  std::unique_ptr<MetricsListener> listener_;
};

// The value of a sample line of the metrics page, or -1.
double Sample(const std::string& text, const std::string& series) {
  const std::size_t at = text.find("\n" + series + " ");
  return at == std::string::npos ? -1 : std::stod(text.substr(at + series.size() + 2));
}

TEST_F(HttpServerProxyTest, OneClientBehindTheProxyDoesNotShutOutTheOthers) {
  // Downloads one client never reads, each on a connection of the proxy's:
  // more connections than one address may open.
  std::vector<std::unique_ptr<HttpConnection>> unread;
  for (int i = 0; i < 4; ++i) {
    unread.push_back(std::make_unique<HttpConnection>(server_->port()));
    ASSERT_TRUE(unread.back()->Send(ForwardedGet("async=16000000", "192.0.2.66")));
    const auto head = unread.back()->Read(true);  // its head: the response is under way
    ASSERT_TRUE(head) << i;
    EXPECT_EQ(head->status, 200u);
  }
  HttpConnection same(server_->port());
  ASSERT_TRUE(same.Send(ForwardedGet("echo", "192.0.2.66")));
  const auto refused = same.Read();
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->status, 503u);  // that client's bound of responses
  HttpConnection other(server_->port());
  ASSERT_TRUE(other.Send(ForwardedGet("echo", "192.0.2.77")));
  const auto served = other.Read();
  ASSERT_TRUE(served);
  EXPECT_EQ(served->status, 200u);
  EXPECT_EQ(Field(served->body, "REMOTE_ADDR"), "192.0.2.77");
}

TEST_F(HttpServerProxyTest, EachClientHasItsOwnRequestRate) {
  HttpConnection proxy(server_->port());
  for (int i = 0; i < 8; ++i) {
    ASSERT_TRUE(proxy.Send(ForwardedGet("echo", "192.0.2.88")));
    const auto response = proxy.Read();
    ASSERT_TRUE(response) << i;
    EXPECT_EQ(response->status, 200u) << i;
  }
  ASSERT_TRUE(proxy.Send(ForwardedGet("echo", "192.0.2.88")));
  const auto limited = proxy.Read();
  ASSERT_TRUE(limited);
  EXPECT_EQ(limited->status, 429u);
  EXPECT_GE(std::stoul(limited->Header("Retry-After").value_or("0")), 1u);
  ASSERT_TRUE(proxy.Send(ForwardedGet("echo", "192.0.2.99")));  // same connection, other client
  const auto other = proxy.Read();
  ASSERT_TRUE(other);
  EXPECT_EQ(other->status, 200u);
  // A peer that is not a trusted proxy cannot pass for new clients by a header.
  HttpConnection direct(server_->port(), "127.0.0.1", "127.0.0.2");
  unsigned last = 0;
  for (int i = 0; i < 9; ++i) {
    ASSERT_TRUE(direct.Send(ForwardedGet("echo", "192.0.2." + std::to_string(100 + i))));
    const auto response = direct.Read();
    ASSERT_TRUE(response) << i;
    last = response->status;
  }
  EXPECT_EQ(last, 429u);
}

TEST_F(HttpServerProxyTest, AccessLogNamesTheForwardedClientAndLogsRefusedHeads) {
  HttpConnection proxy(server_->port());
  ASSERT_TRUE(
      proxy.Send("GET /elsewhere?Logon=anna HTTP/1.1\r\nHost: x\r\n"
                 "X-Forwarded-For: 192.0.2.11\r\n\r\n"));
  const auto missing = proxy.Read();
  ASSERT_TRUE(missing);
  EXPECT_EQ(missing->status, 404u);
  // A head the parser refuses names no client: logged with the peer's.
  HttpConnection bare(server_->port());
  ASSERT_TRUE(bare.Send("GET / HTTP/1.1\nHost: x\n\n"));
  const auto refused = bare.Read();
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->status, 400u);
  ASSERT_TRUE(bare.WaitForClose());
  ASSERT_TRUE(server_->Stop());
  ASSERT_TRUE(access_log_->Flush(std::chrono::seconds(5)));
  const std::string log = directory_.ReadFile("access.log");
  EXPECT_NE(log.find("192.0.2.11 - - ["), std::string::npos) << log;
  EXPECT_NE(log.find("\"GET /elsewhere? HTTP/1.1\" 404 "), std::string::npos) << log;
  EXPECT_NE(log.find("127.0.0.1 - - ["), std::string::npos) << log;
  EXPECT_NE(log.find("\"-\" 400 "), std::string::npos) << log;
}

TEST_F(HttpServerProxyTest, ConnectionMetricsCountWhereConnectionsOpenAndAreRefused) {
  std::vector<std::unique_ptr<HttpConnection>> held;
  for (int i = 0; i < 5; ++i) {
    held.push_back(std::make_unique<HttpConnection>(server_->port(), "127.0.0.1", "127.0.0.2"));
  }
  // The fifth passed its address's bound (4): closed at once, so the four
  // before it were taken.
  EXPECT_TRUE(held.back()->WaitForClose());
  const std::string page = Scrape();
  EXPECT_EQ(Sample(page, "dudarovuvadu_connections_open"), 4) << page;
  EXPECT_EQ(
      Sample(page, "dudarovuvadu_connections_refused_total{limit=\"per_address_connections\"}"), 1)
      << page;
}

using TlsFiles = hosts_test::TestCertificate;

// The body fetched from `url` over HTTPS (certificate not checked).
std::string CurlBody(const std::string& url) {
  const std::optional<HttpResponse> response = hosts_test::HttpExchange(url);
  return response ? response->body : "<no response>";
}

class HttpServerTlsTest : public HttpServerTest {
 protected:
  void SetUp() override {
    ASSERT_TRUE(tls_.made());
    ServerOptions options;
    options.listeners = {Listener{"127.0.0.1", 0, false}, Listener{"127.0.0.1", 0, true}};
    options.tls_cert = tls_.cert();
    options.tls_key = tls_.key();
    ASSERT_TRUE(StartServer(options));
  }

  std::string TlsUrl(const std::string& query) const {
    return "https://127.0.0.1:" + std::to_string(server_->port(1)) + kScript + "?" + query;
  }

  TlsFiles tls_;
};

TEST_F(HttpServerTlsTest, EachListenerTellsTheExtensionWhetherItIsSecure) {
  const std::string secure = CurlBody(TlsUrl("echo"));
  EXPECT_EQ(Field(secure, "HTTPS"), "on") << secure;
  EXPECT_EQ(Field(secure, "SERVER_PORT_SECURE"), "1");
  EXPECT_EQ(Field(secure, "SERVER_PORT"), std::to_string(server_->port(1)));
  const auto plain = Get(std::string(kScript) + "?echo");
  ASSERT_TRUE(plain);
  EXPECT_EQ(Field(plain->body, "HTTPS"), "off");
  EXPECT_EQ(Field(plain->body, "SERVER_PORT_SECURE"), "0");
  EXPECT_EQ(Field(plain->body, "SERVER_PORT"), std::to_string(server_->port(0)));
  // A download passed on as written arrives whole over TLS too.
  EXPECT_TRUE(CurlBody(TlsUrl("stream=3000000")) == StreamPattern(3000000));
}

TEST_F(HttpServerTlsTest, PlainTextAndGarbageOnTheTlsPortHarmNoOtherConnection) {
  HttpConnection kept(server_->port(0));
  ASSERT_TRUE(kept.Send(GetRequest(std::string(kScript) + "?echo")));
  ASSERT_TRUE(kept.Read());
  HttpConnection plain(server_->port(1));
  ASSERT_TRUE(plain.Send(GetRequest(std::string(kScript) + "?echo")));
  HttpConnection garbage(server_->port(1));
  // A record header announcing a handshake of 512 bytes, then noise.
  static constexpr char kRecord[] = {'\x16', '\x03', '\x01', '\x02', '\x00'};
  ASSERT_TRUE(garbage.Send(std::string(kRecord, sizeof kRecord) + std::string(600, '\xee')));
  EXPECT_TRUE(plain.WaitForClose());
  EXPECT_TRUE(garbage.WaitForClose());
  EXPECT_EQ(Field(CurlBody(TlsUrl("echo")), "HTTPS"), "on");
  ASSERT_TRUE(kept.Send(GetRequest(std::string(kScript) + "?echo")));
  const auto again = kept.Read();
  ASSERT_TRUE(again);
  EXPECT_EQ(again->status, 200u);
}

TEST(HttpServerTlsStartTest, BadCertificateOrKeyIsRefusedWithTheReason) {
  TlsFiles tls;
  ASSERT_TRUE(tls.made());
  const struct {
    std::string cert;
    std::string key;
    const char* reason;
  } cases[] = {
      {tls.cert(), tls.other_key(), "key values mismatch"},
      {tls.cert() + ".missing", tls.key(), "--tls-cert"},
      {tls.cert(), tls.key() + ".missing", "--tls-key"},
      {tls.key(), tls.key(), "--tls-cert"},
      {"", "", "needs --tls-cert"},
  };
  for (const auto& test : cases) {
    ServerOptions options;
    options.listeners = {Listener{"127.0.0.1", 0, true}};
    options.tls_cert = test.cert;
    options.tls_key = test.key;
    HttpServer server(options, nullptr, nullptr);
    std::string error;
    EXPECT_FALSE(server.Start(&error)) << test.cert << " " << test.key;
    EXPECT_NE(error.find(test.reason), std::string::npos) << error;
  }
}

// Regression: a body whose reader registered after the stop had interrupted
// the bodies it found (its "100 Continue" still being sent then) was never
// interrupted nor counted, so the stop ended without answering it.
TEST(ServerContextStopTest, RegressionABodyStartedAfterTheBodiesWereInterruptedIsAnswered) {
  ServerContext context(ServerOptions{}, nullptr, nullptr, 16, 0);
  context.BeginStop();
  context.WaitForBodies(std::chrono::milliseconds(0));
  int interrupted = 0;
  context.AddBodyReader(&interrupted, [&] { ++interrupted; });
  EXPECT_EQ(interrupted, 1);
  EXPECT_FALSE(context.WaitForRequests(std::chrono::seconds(0)));
  context.Complete();
  EXPECT_TRUE(context.WaitForRequests(std::chrono::seconds(0)));
}

}  // namespace
}  // namespace hosts
