// The HTTP side of the portal as a client meets it, with the real module
// behind the host: HEAD, unknown paths, refused bodies, keep-alive, and a
// request still arriving when the host is asked to stop.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <filesystem>
#include <future>
#include <thread>
#include <vector>

#include "platform/lock_file.h"
#include "tests/e2e/portal_fixture.h"
#include "tests/hosts/http_client.h"

namespace e2e {
namespace {

using namespace std::chrono_literals;

std::string Target(const Portal& portal, std::string_view query) {
  // module_url() is http://address:8080/scripts/dudarovuvadu.dll
  const std::string& url = portal.module_url();
  return url.substr(url.find('/', 7)) + std::string(query);
}

std::string Authority(const Portal& portal) {
  const std::string& url = portal.module_url();
  return url.substr(7, url.find('/', 7) - 7);
}

bool SpoolDirectoryEmpty(const Portal& portal, const char* dir) {
  return std::filesystem::is_empty(portal.Path(dir));
}

TEST(HostE2eTest, HeadIsAnsweredWithoutABodyOrAnySideEffect) {
  Portal portal;
  ASSERT_TRUE(portal.error().empty()) << portal.error();
  // The module serves GET and POST only; a HEAD of a URL whose GET would
  // record an event must record nothing and send no body.
  HttpConnection connection(portal.module_url());
  ASSERT_TRUE(connection.Send(
      "HEAD " + Target(portal, "?DoCommand?Logon=anna&Command=newevent&P1=a&P2=b&P3=c") +
      " HTTP/1.1\r\nHost: " + Authority(portal) + "\r\n\r\n"));
  const auto head = connection.Read(/*head_request=*/true);
  ASSERT_TRUE(head);
  EXPECT_NE(head->status, 0);
  EXPECT_LE(head->CountHeader("Content-Length"), 1);
  // Nothing follows the headers before the connection ends or idles.
  EXPECT_FALSE(connection.Read(false, 500));
  EXPECT_FALSE(portal.ReadFile("events/anna.evt"));
  EXPECT_TRUE(SpoolDirectoryEmpty(portal, "in"));
}

TEST(HostE2eTest, OtherPathsAreNotFoundAndNeverReachTheModule) {
  Portal portal;
  ASSERT_TRUE(portal.error().empty()) << portal.error();
  const std::string base = portal.module_url().substr(0, portal.module_url().find('/', 7));
  for (const char* path : {"/", "/scripts/other.dll?DoCommand?Logon=a&Command=x&P1=&P2=&P3=",
                           "/scripts/dudarovuvadu.dll/extra?DoCommand?Logon=a&Command=x"}) {
    const auto response = HttpExchange(base + path);
    ASSERT_TRUE(response) << path;
    EXPECT_EQ(response->status, 404) << path;
  }
  EXPECT_TRUE(SpoolDirectoryEmpty(portal, "in"));
}

TEST(HostE2eTest, BodiesOverTheLimitAreRefusedWithoutStoringAnything) {
  Portal portal(WithHostOptions({"--max-body", "1000"}));
  ASSERT_TRUE(portal.error().empty()) << portal.error();
  {
    // By its declared length, before the body is sent.
    HttpConnection connection(portal.module_url());
    ASSERT_TRUE(connection.Send("POST " + Target(portal, "?StoreData") + " HTTP/1.1\r\nHost: " +
                                Authority(portal) + "\r\nContent-Length: 1001\r\n\r\n"));
    const auto refused = connection.Read();
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->status, 413);
  }
  {
    // A chunked body whose chunks together pass the limit.
    HttpConnection connection(portal.module_url());
    const std::string chunk(600, 'c');
    ASSERT_TRUE(connection.Send("POST " + Target(portal, "?StoreData") + " HTTP/1.1\r\nHost: " +
                                Authority(portal) + "\r\nTransfer-Encoding: chunked\r\n\r\n" +
                                "258\r\n" + chunk + "\r\n258\r\n" + chunk + "\r\n0\r\n\r\n"));
    const auto refused = connection.Read();
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->status, 413);
  }
  // A body at the limit is stored.
  const auto stored = HttpExchange(portal.module_url() + "?StoreData", "POST",
                                   std::string(1000, 's'), "application/octet-stream");
  ASSERT_TRUE(stored);
  EXPECT_EQ(stored->body, "1000");
  ASSERT_TRUE(portal.backend().WaitForOutput("posted 1: received=1000 stored=1000"));
  EXPECT_FALSE(portal.ReadFile("post/2.txt"));
}

TEST(HostE2eTest, TwoRequestsOnOneKeepAliveConnection) {
  Portal portal;
  ASSERT_TRUE(portal.error().empty()) << portal.error();
  HttpConnection connection(portal.module_url());
  ASSERT_TRUE(connection.connected());
  for (const char* p1 : {"first", "second"}) {
    ASSERT_TRUE(
        connection.Send("GET " +
                        Target(portal, std::string("?DoCommand?Logon=anna&Command=newevent&P1=") +
                                           p1 + "&P2=&P3=") +
                        " HTTP/1.1\r\nHost: " + Authority(portal) + "\r\n\r\n"));
    const auto response = connection.Read();
    ASSERT_TRUE(response) << p1;
    EXPECT_EQ(response->body, "Done");
  }
  EXPECT_EQ(portal.ReadFile("events/anna.evt"), "first;;\r\nsecond;;\r\n");
}

TEST(HostE2eTest, RequestInFlightFinishesDuringAGracefulStop) {
  Portal portal;
  ASSERT_TRUE(portal.error().empty()) << portal.error();
  HttpConnection connection(portal.module_url());
  ASSERT_TRUE(connection.Send("POST " + Target(portal, "?StoreData") +
                              " HTTP/1.1\r\nHost: " + Authority(portal) +
                              "\r\nContent-Length: 10\r\nExpect: 100-continue\r\n\r\nhalf-"));
  // The interim answer says the host has taken the request in before it is
  // told to stop.
  const auto go_on = connection.Read();
  ASSERT_TRUE(go_on);
  ASSERT_EQ(go_on->status, 100);
  ASSERT_EQ(::kill(portal.host().pid(), SIGTERM), 0);
  ASSERT_TRUE(portal.host().WaitForOutput("stopping on signal"));
  ASSERT_TRUE(connection.Send("whole"));
  const auto stored = connection.Read();
  ASSERT_TRUE(stored);
  EXPECT_EQ(stored->status, 200);
  EXPECT_EQ(stored->body, "10");
  // The back-end consumes (and removes) the stored data.
  EXPECT_TRUE(portal.backend().WaitForOutput("posted 1: received=10 stored=10 data=half-whole"))
      << portal.backend().Output();
  const auto status = portal.host().WaitForExit(10s);
  ASSERT_TRUE(status);
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status;
  // New connections are no longer taken.
  EXPECT_FALSE(HttpExchange(portal.module_url()));
}

TEST(HostE2eTest, PollsAndDefaultAreAnsweredWhileNewRequestsWaitOnAStaleLock) {
  Portal portal;  // the host runs 4 workers
  ASSERT_TRUE(portal.error().empty()) << portal.error();
  portal.WriteFile("docs/a.pdf", "pdf");
  std::string ticket;
  const auto ready = portal.FetchAnswer(portal.DoCommandUrl("anna", "getqvpanier"), &ticket);
  ASSERT_TRUE(ready);
  // A ticket lock held by a live process (this one) that does not let go:
  // every new request waits on it for as long as it is held. Ten of them,
  // more than the workers.
  const std::string lock_path = portal.Path("dudarovuvadu.cnt.in.lock");
  platform::LockFile lock = platform::LockFile::Create(lock_path);
  ASSERT_EQ(lock.state(), platform::LockFileState::kHeld);
  ASSERT_TRUE(lock.Rewrite("logon=held&command=x&p2=&p3=\r\n"));
  std::vector<std::future<std::optional<HttpResponse>>> waiting;
  for (int i = 0; i < 10; ++i) {
    waiting.push_back(std::async(std::launch::async, [&portal, i] {
      return HttpExchange(portal.DoCommandUrl("user" + std::to_string(i), "getlist"));
    }));
  }
  // Gives the new requests time to take the workers. A slower machine
  // leaves the test weaker, never failing: no verdict rests on it.
  std::this_thread::sleep_for(500ms);
  for (int round = 0; round < 3; ++round) {
    const auto poll = HttpExchange(portal.DoCommandUrl("anna", "getqvpanier", ticket));
    const auto home = HttpExchange(portal.module_url());
    ASSERT_TRUE(poll && home) << round;
    EXPECT_EQ(poll->body, ready->body) << round;
    EXPECT_EQ(home->status, 200) << round;
  }
  // Answered while every new request still waits on the held lock.
  for (auto& request : waiting) {
    EXPECT_EQ(request.wait_for(0s), std::future_status::timeout);
  }
  ASSERT_TRUE(lock.RemoveAndClose(lock_path));
  for (auto& request : waiting) {
    const auto response = request.get();
    ASSERT_TRUE(response);
    EXPECT_EQ(response->status, 200);
  }
  EXPECT_FALSE(portal.ReadFile("dudarovuvadu.cnt.in.lock"));
}

TEST(HostE2eTest, WaitPageLeadsToTheAnswerOverHttps) {
  // Beside its plain listener the host listens with TLS on port 8443 of the
  // same address; the wait page sends the client back over https to it.
  hosts_test::TestCertificate tls;
  ASSERT_TRUE(tls.made());
  Portal::Options options;
  options.backend_delay_ms = 600;
  options.host_options = {
      "--listen", "https://{address}:8443", "--tls-cert", tls.cert(), "--tls-key", tls.key()};
  Portal portal(options);
  ASSERT_TRUE(portal.error().empty()) << portal.error();
  const std::string address = Authority(portal).substr(0, Authority(portal).find(':'));
  const std::string secure = "https://" + address + ":8443";
  const std::string url =
      secure + portal.DoCommandUrl("anna", "browser", "", "over", "tls")
                   .substr(std::string("http://").size() + Authority(portal).size());
  const auto wait = HttpExchange(url);
  ASSERT_TRUE(wait);
  EXPECT_NE(wait->body.find("Veuillez patienter SVP..."), std::string::npos) << wait->body;
  EXPECT_NE(wait->body.find(secure + "/scripts/dudarovuvadu.dll?"), std::string::npos)
      << wait->body;
  const auto answer = portal.FetchAnswer(url);
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->status, 200);
  EXPECT_NE(answer->body.find("<td id=\"p2\">over</td>"), std::string::npos) << answer->body;
  EXPECT_EQ(answer->body.find("Veuillez patienter"), std::string::npos) << answer->body;
}

}  // namespace
}  // namespace e2e
