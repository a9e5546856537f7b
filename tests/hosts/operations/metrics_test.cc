// The metrics: what each call moves, and the page a scrape of the listener
// gets.
#include "hosts/operations/metrics.h"

#include <gtest/gtest.h>

#include <string>

#include "hosts/operations/metrics_listener.h"
#include "tests/hosts/http_client.h"

namespace hosts {
namespace {

using namespace std::chrono_literals;

// The value of the sample line that starts with `series` ("name{labels}"),
// or -1 when there is none.
double Sample(const std::string& text, const std::string& series) {
  const std::size_t at = text.find("\n" + series + " ");
  if (at == std::string::npos) return -1;
  return std::stod(text.substr(at + series.size() + 2));
}

TEST(MetricsTest, EachCallMovesItsSeries) {
  Metrics metrics;
  metrics.RequestDone(200, 385, 1700us);
  metrics.RequestDone(204, 0, 300us);
  metrics.RequestDone(404, 20, 2s);
  metrics.RequestDone(0, 0, 1ms);
  metrics.ConnectionOpened();
  metrics.ConnectionOpened();
  metrics.ConnectionClosed();
  metrics.ConnectionRefused(Metrics::Limit::kPerAddress);
  metrics.ConnectionRefused(Metrics::Limit::kPerAddress);
  metrics.ConnectionRefused(Metrics::Limit::kMaxConnections);
  metrics.WorkerStarted();
  metrics.WorkerBusy();
  metrics.WorkerBusy();
  metrics.WorkerIdle();
  metrics.ModuleCallStarted();
  metrics.ModuleCallStarted();
  metrics.ModuleCallFinished(40ms);
  const std::string text = metrics.Text();
  EXPECT_EQ(Sample(text, "dudarovuvadu_requests_total{class=\"2xx\"}"), 2) << text;
  EXPECT_EQ(Sample(text, "dudarovuvadu_requests_total{class=\"4xx\"}"), 1);
  EXPECT_EQ(Sample(text, "dudarovuvadu_requests_total{class=\"5xx\"}"), 0);
  EXPECT_EQ(Sample(text, "dudarovuvadu_requests_total{class=\"none\"}"), 1);
  EXPECT_EQ(Sample(text, "dudarovuvadu_request_duration_seconds_count"), 4);
  EXPECT_EQ(Sample(text, "dudarovuvadu_request_duration_seconds_bucket{le=\"0.001\"}"), 2);
  EXPECT_EQ(Sample(text, "dudarovuvadu_request_duration_seconds_bucket{le=\"1\"}"), 3);
  EXPECT_EQ(Sample(text, "dudarovuvadu_sent_bytes_total"), 405);
  EXPECT_EQ(Sample(text, "dudarovuvadu_connections_open"), 1);
  EXPECT_EQ(
      Sample(text, "dudarovuvadu_connections_refused_total{limit=\"per_address_connections\"}"), 2);
  EXPECT_EQ(Sample(text, "dudarovuvadu_connections_refused_total{limit=\"max_connections\"}"), 1);
  EXPECT_EQ(Sample(text, "dudarovuvadu_workers_started_total"), 1);
  EXPECT_EQ(Sample(text, "dudarovuvadu_workers_busy"), 1);
  EXPECT_EQ(Sample(text, "dudarovuvadu_module_calls_in_flight"), 1);
  EXPECT_EQ(Sample(text, "dudarovuvadu_module_call_duration_seconds_count"), 1);
  EXPECT_NE(text.find("# TYPE dudarovuvadu_request_duration_seconds histogram"), std::string::npos);
}

TEST(MetricsTest, ListenerServesTheTextAtMetricsOnly) {
  Metrics metrics;
  metrics.RequestDone(200, 10, 1ms);
  std::string error;
  auto listener = MetricsListener::Start("127.0.0.1:0", metrics, &error);
  ASSERT_NE(listener, nullptr) << error;
  const std::string base = "http://127.0.0.1:" + std::to_string(listener->port());
  const auto page = hosts_test::HttpExchange(base + "/metrics");
  ASSERT_TRUE(page);
  EXPECT_EQ(page->status, 200);
  EXPECT_EQ(page->Header("Content-Type"), "text/plain; version=0.0.4; charset=utf-8");
  EXPECT_EQ(Sample(page->body, "dudarovuvadu_requests_total{class=\"2xx\"}"), 1) << page->body;
  metrics.RequestDone(500, 10, 1ms);
  const auto again = hosts_test::HttpExchange(base + "/metrics");
  ASSERT_TRUE(again);
  EXPECT_EQ(Sample(again->body, "dudarovuvadu_requests_total{class=\"5xx\"}"), 1);
  const auto other = hosts_test::HttpExchange(base + "/scripts/dudarovuvadu.dll");
  ASSERT_TRUE(other);
  EXPECT_EQ(other->status, 404);
  const auto posted = hosts_test::HttpExchange(base + "/metrics", "POST", "x", "text/plain");
  ASSERT_TRUE(posted);
  EXPECT_EQ(posted->status, 405);
}

TEST(MetricsTest, DroppedAccessLogLinesAreReadAtEachScrape) {
  Metrics metrics;
  std::uint64_t dropped = 3;
  metrics.CountDroppedAccessLines([&dropped] { return dropped; });
  EXPECT_EQ(Sample(metrics.Text(), "dudarovuvadu_access_log_dropped_lines_total"), 3);
  dropped = 5;
  EXPECT_EQ(Sample(metrics.Text(), "dudarovuvadu_access_log_dropped_lines_total"), 5);
}

// Connections past the listener's cap are closed at once, so that idle
// connections to it cannot take the descriptors the portal needs.
TEST(MetricsTest, ListenerServesAFewConnectionsAtOnce) {
  Metrics metrics;
  std::string error;
  auto listener = MetricsListener::Start("127.0.0.1:0", metrics, &error, 2);
  ASSERT_NE(listener, nullptr) << error;
  hosts_test::HttpConnection first(listener->port());
  hosts_test::HttpConnection second(listener->port());
  hosts_test::HttpConnection third(listener->port());
  ASSERT_TRUE(third.connected());
  (void)third.Send("GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n");
  EXPECT_FALSE(third.Read(false, 5000));  // closed unanswered
  ASSERT_TRUE(first.Send("GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n"));
  const auto page = first.Read(false, 5000);
  ASSERT_TRUE(page);
  EXPECT_EQ(page->status, 200);
}

TEST(MetricsTest, ListenerRefusesWhatItCannotServe) {
  Metrics metrics;
  std::string error;
  EXPECT_EQ(MetricsListener::Start("localhost:9100", metrics, &error), nullptr);
  EXPECT_EQ(MetricsListener::Start("https://127.0.0.1:0", metrics, &error), nullptr);
  EXPECT_NE(error.find("plain HTTP"), std::string::npos) << error;
  auto first = MetricsListener::Start("127.0.0.1:0", metrics, &error);
  ASSERT_NE(first, nullptr);
  const std::string taken = "127.0.0.1:" + std::to_string(first->port());
  EXPECT_EQ(MetricsListener::Start(taken, metrics, &error), nullptr);
  EXPECT_NE(error.find("cannot listen for metrics"), std::string::npos) << error;
}

}  // namespace
}  // namespace hosts
