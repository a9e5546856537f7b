// Tests of the embedded HTTP server, in process, with the probe extension:
// what the server hands an extension and how it answers with what the
// extension sends, over real connections on 127.0.0.1.
#include "hosts/http_server.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <thread>

#include "hosts/extension_module.h"
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
  EXPECT_GT(std::stoi(response->Header("X-Read-Calls")), 1);
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
  EXPECT_EQ(std::stoul(head->Header("Content-Length")),
            std::stoul(get->Header("Content-Length")) + 2);
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

TEST_F(HttpServerTest, SlowRequestsDoNotHoldUpOthers) {
  // The extension runs on workers: while one sleeps, another is answered.
  auto slow =
      std::async(std::launch::async, [this] { return Get(std::string(kScript) + "?sleep=1500"); });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const auto started = std::chrono::steady_clock::now();
  const auto quick = Get(std::string(kScript) + "?echo");
  const auto elapsed = std::chrono::steady_clock::now() - started;
  ASSERT_TRUE(quick);
  EXPECT_EQ(quick->status, 200u);
  EXPECT_LT(elapsed, std::chrono::milliseconds(1000));
  const auto slow_response = slow.get();
  ASSERT_TRUE(slow_response);
  EXPECT_EQ(slow_response->body, "slept 1500");
}

TEST_F(HttpServerTest, GracefulStopFinishesTheRequestInFlight) {
  HttpConnection connection(server_->port());
  ASSERT_TRUE(connection.Send(GetRequest(std::string(kScript) + "?sleep=700")));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const std::uint16_t port = server_->port();
  auto stopped = std::async(std::launch::async, [this] { return server_->Stop(); });
  const auto response = connection.Read();
  ASSERT_TRUE(response);
  EXPECT_EQ(response->status, 200u);
  EXPECT_EQ(response->body, "slept 700");
  EXPECT_EQ(response->Header("Connection"), "close");
  EXPECT_TRUE(stopped.get());
  // No longer accepting.
  HttpConnection late(port);
  EXPECT_FALSE(late.connected() && late.Send(GetRequest(kScript)) && late.Read());
}

TEST_F(HttpServerTest, ClientLeavingMidRequestDoesNotHoldUpTheStop) {
  {
    HttpConnection headers_only(server_->port());
    ASSERT_TRUE(headers_only.Send(std::string("GET ") + kScript + "?echo HTTP/1.1\r\nHost: x\r\n"));
    HttpConnection body_half(server_->port());
    ASSERT_TRUE(body_half.Send(std::string("POST ") + kScript +
                               "?body HTTP/1.1\r\nHost: x\r\nContent-Length: 10\r\n\r\nabc"));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }  // both clients go away
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const auto started = std::chrono::steady_clock::now();
  EXPECT_TRUE(server_->Stop());
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
}

class HttpServerLimitTest : public HttpServerTest {
 protected:
  void SetUp() override {
    ServerOptions options;
    options.max_body = 1000;
    options.idle_timeout_seconds = 1;
    ASSERT_TRUE(StartServer(options));
  }
};

TEST_F(HttpServerLimitTest, IdleConnectionIsClosed) {
  HttpConnection connection(server_->port());
  ASSERT_TRUE(connection.Send(GetRequest(std::string(kScript) + "?echo")));
  ASSERT_TRUE(connection.Read());
  EXPECT_TRUE(connection.WaitForClose(5000));
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

}  // namespace
}  // namespace hosts
