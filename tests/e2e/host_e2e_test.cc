// The HTTP side of the portal as a client meets it, with the real module
// behind the host: HEAD, unknown paths, refused bodies, keep-alive, and a
// request still arriving when the host is asked to stop.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <filesystem>
#include <thread>

#include "tests/e2e/portal_fixture.h"

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
  RawConnection connection(portal.module_url());
  ASSERT_TRUE(connection.Send(
      "HEAD " + Target(portal, "?DoCommand?Logon=anna&Command=newevent&P1=a&P2=b&P3=c") +
      " HTTP/1.1\r\nHost: " + Authority(portal) + "\r\n\r\n"));
  const auto head = connection.ReadResponse(/*head_request=*/true);
  ASSERT_TRUE(head);
  EXPECT_NE(head->status, 0);
  EXPECT_LE(head->CountHeader("Content-Length"), 1);
  // Nothing follows the headers before the connection ends or idles.
  EXPECT_FALSE(connection.ReadResponse(false, 500ms));
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
    RawConnection connection(portal.module_url());
    ASSERT_TRUE(connection.Send("POST " + Target(portal, "?StoreData") + " HTTP/1.1\r\nHost: " +
                                Authority(portal) + "\r\nContent-Length: 1001\r\n\r\n"));
    const auto refused = connection.ReadResponse();
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->status, 413);
  }
  {
    // A chunked body whose chunks together pass the limit.
    RawConnection connection(portal.module_url());
    const std::string chunk(600, 'c');
    ASSERT_TRUE(connection.Send("POST " + Target(portal, "?StoreData") + " HTTP/1.1\r\nHost: " +
                                Authority(portal) + "\r\nTransfer-Encoding: chunked\r\n\r\n" +
                                "258\r\n" + chunk + "\r\n258\r\n" + chunk + "\r\n0\r\n\r\n"));
    const auto refused = connection.ReadResponse();
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
  RawConnection connection(portal.module_url());
  ASSERT_TRUE(connection.connected());
  for (const char* p1 : {"first", "second"}) {
    ASSERT_TRUE(
        connection.Send("GET " +
                        Target(portal, std::string("?DoCommand?Logon=anna&Command=newevent&P1=") +
                                           p1 + "&P2=&P3=") +
                        " HTTP/1.1\r\nHost: " + Authority(portal) + "\r\n\r\n"));
    const auto response = connection.ReadResponse();
    ASSERT_TRUE(response) << p1;
    EXPECT_EQ(response->body, "Done");
  }
  EXPECT_EQ(portal.ReadFile("events/anna.evt"), "first;;\r\nsecond;;\r\n");
}

TEST(HostE2eTest, RequestInFlightFinishesDuringAGracefulStop) {
  Portal portal;
  ASSERT_TRUE(portal.error().empty()) << portal.error();
  RawConnection connection(portal.module_url());
  ASSERT_TRUE(connection.Send("POST " + Target(portal, "?StoreData") + " HTTP/1.1\r\nHost: " +
                              Authority(portal) + "\r\nContent-Length: 10\r\n\r\nhalf-"));
  // Let the host take the request in before it is told to stop (it reads
  // the headers at once; the margin is for a loaded machine).
  std::this_thread::sleep_for(1s);
  ASSERT_EQ(::kill(portal.host().pid(), SIGTERM), 0);
  ASSERT_TRUE(portal.host().WaitForOutput("stopping on signal"));
  ASSERT_TRUE(connection.Send("whole"));
  const auto stored = connection.ReadResponse();
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

}  // namespace
}  // namespace e2e
