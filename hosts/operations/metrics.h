// The host's metrics in the Prometheus text format: requests by status
// class, their duration and bytes, connections open and refused by each
// limit, workers busy and started, module calls in flight and their
// duration, access log lines dropped. The connection code calls the plain methods below; every one
// is thread-safe and cheap (an atomic add), so it may be called on any thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace prometheus {
class Counter;
class Gauge;
class Histogram;
class Registry;
}  // namespace prometheus

namespace hosts {

class Metrics {
 public:
  // The limits a connection can be refused by.
  enum class Limit { kMaxConnections, kPerAddress };

  Metrics();
  ~Metrics();
  Metrics(const Metrics&) = delete;
  Metrics& operator=(const Metrics&) = delete;

  // A request is over: its status (0 when none was sent), body bytes sent
  // and time from its head to its last byte.
  void RequestDone(unsigned status, std::uint64_t bytes, std::chrono::microseconds duration);
  void ConnectionOpened();
  void ConnectionClosed();
  void ConnectionRefused(Limit limit);
  void WorkerStarted();
  void WorkerBusy();
  void WorkerIdle();
  void ModuleCallStarted();
  void ModuleCallFinished(std::chrono::microseconds duration);
  // Where the access log's count of dropped lines is read at each scrape
  // (before the server starts; none when there is no access log).
  void CountDroppedAccessLines(std::function<std::uint64_t()> dropped);

  // The page a scrape of /metrics gets (text exposition format 0.0.4).
  std::string Text() const;

 private:
  std::shared_ptr<prometheus::Registry> registry_;
  // Requests by status class: 1xx to 5xx, and "none" for no status.
  prometheus::Counter* requests_[6] = {};
  prometheus::Histogram* request_duration_ = nullptr;
  prometheus::Counter* sent_bytes_ = nullptr;
  prometheus::Gauge* connections_open_ = nullptr;
  prometheus::Counter* refused_max_connections_ = nullptr;
  prometheus::Counter* refused_per_address_ = nullptr;
  prometheus::Counter* workers_started_ = nullptr;
  prometheus::Gauge* workers_busy_ = nullptr;
  prometheus::Gauge* module_calls_in_flight_ = nullptr;
  prometheus::Histogram* module_call_duration_ = nullptr;
  prometheus::Counter* access_lines_dropped_ = nullptr;
  std::function<std::uint64_t()> dropped_source_;
  mutable std::mutex dropped_mutex_;
  mutable std::uint64_t dropped_counted_ = 0;
};

// A worker running a request, for the scope's lifetime: busy, and counted
// as started the first time its thread runs one. Nothing when `metrics` is
// null.
class WorkerBusyScope {
 public:
  explicit WorkerBusyScope(Metrics* metrics);
  ~WorkerBusyScope();
  WorkerBusyScope(const WorkerBusyScope&) = delete;
  WorkerBusyScope& operator=(const WorkerBusyScope&) = delete;

 private:
  Metrics* const metrics_;
};

// One call of the module, in flight for the scope's lifetime and timed.
// Nothing when `metrics` is null.
class ModuleCallScope {
 public:
  explicit ModuleCallScope(Metrics* metrics);
  ~ModuleCallScope();
  ModuleCallScope(const ModuleCallScope&) = delete;
  ModuleCallScope& operator=(const ModuleCallScope&) = delete;

 private:
  Metrics* const metrics_;
  const std::chrono::steady_clock::time_point start_;
};

}  // namespace hosts
