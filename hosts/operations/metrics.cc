// The metrics, kept in a prometheus-cpp registry and written by its text
// serialiser.
#include "hosts/operations/metrics.h"

#include <prometheus/counter.h>
#include <prometheus/gauge.h>
#include <prometheus/histogram.h>
#include <prometheus/registry.h>
#include <prometheus/text_serializer.h>

#include <sstream>

namespace hosts {

namespace {

// Seconds, from a fast poll of a ready answer to a request held by a lock.
const prometheus::Histogram::BucketBoundaries kDurationBuckets = {
    0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10};

double Seconds(std::chrono::microseconds duration) {
  return static_cast<double>(duration.count()) / 1e6;
}

}  // namespace

Metrics::Metrics() : registry_(std::make_shared<prometheus::Registry>()) {
  auto& requests = prometheus::BuildCounter()
                       .Name("dudarovuvadu_requests_total")
                       .Help("Requests answered, by status class")
                       .Register(*registry_);
  const char* classes[] = {"none", "1xx", "2xx", "3xx", "4xx", "5xx"};
  for (std::size_t i = 0; i < 6; ++i) requests_[i] = &requests.Add({{"class", classes[i]}});
  request_duration_ = &prometheus::BuildHistogram()
                           .Name("dudarovuvadu_request_duration_seconds")
                           .Help("Time from a request's head to its last byte")
                           .Register(*registry_)
                           .Add({}, kDurationBuckets);
  sent_bytes_ = &prometheus::BuildCounter()
                     .Name("dudarovuvadu_sent_bytes_total")
                     .Help("Response body bytes sent")
                     .Register(*registry_)
                     .Add({});
  connections_open_ = &prometheus::BuildGauge()
                           .Name("dudarovuvadu_connections_open")
                           .Help("Client connections open")
                           .Register(*registry_)
                           .Add({});
  auto& refused = prometheus::BuildCounter()
                      .Name("dudarovuvadu_connections_refused_total")
                      .Help("Connections closed at once, by the limit they reached")
                      .Register(*registry_);
  refused_max_connections_ = &refused.Add({{"limit", "max_connections"}});
  refused_per_address_ = &refused.Add({{"limit", "per_address_connections"}});
  workers_started_ = &prometheus::BuildCounter()
                          .Name("dudarovuvadu_workers_started_total")
                          .Help("Worker threads that have run a request")
                          .Register(*registry_)
                          .Add({});
  workers_busy_ = &prometheus::BuildGauge()
                       .Name("dudarovuvadu_workers_busy")
                       .Help("Workers running a request")
                       .Register(*registry_)
                       .Add({});
  module_calls_in_flight_ = &prometheus::BuildGauge()
                                 .Name("dudarovuvadu_module_calls_in_flight")
                                 .Help("Calls of HttpExtensionProc not yet returned")
                                 .Register(*registry_)
                                 .Add({});
  module_call_duration_ = &prometheus::BuildHistogram()
                               .Name("dudarovuvadu_module_call_duration_seconds")
                               .Help("Time HttpExtensionProc took")
                               .Register(*registry_)
                               .Add({}, kDurationBuckets);
  access_lines_dropped_ =
      &prometheus::BuildCounter()
           .Name("dudarovuvadu_access_log_dropped_lines_total")
           .Help("Access log lines dropped: the buffer was full or the write failed")
           .Register(*registry_)
           .Add({});
}

Metrics::~Metrics() = default;

void Metrics::RequestDone(unsigned status, std::uint64_t bytes,
                          std::chrono::microseconds duration) {
  const unsigned status_class = status >= 100 && status < 600 ? status / 100 : 0;
  requests_[status_class]->Increment();
  request_duration_->Observe(Seconds(duration));
  sent_bytes_->Increment(static_cast<double>(bytes));
}

void Metrics::ConnectionOpened() { connections_open_->Increment(); }

void Metrics::ConnectionClosed() { connections_open_->Decrement(); }

void Metrics::ConnectionRefused(Limit limit) {
  (limit == Limit::kMaxConnections ? refused_max_connections_ : refused_per_address_)->Increment();
}

void Metrics::WorkerStarted() { workers_started_->Increment(); }

void Metrics::WorkerBusy() { workers_busy_->Increment(); }

void Metrics::WorkerIdle() { workers_busy_->Decrement(); }

void Metrics::ModuleCallStarted() { module_calls_in_flight_->Increment(); }

void Metrics::ModuleCallFinished(std::chrono::microseconds duration) {
  module_calls_in_flight_->Decrement();
  module_call_duration_->Observe(Seconds(duration));
}

WorkerBusyScope::WorkerBusyScope(Metrics* metrics) : metrics_(metrics) {
  if (metrics_ == nullptr) return;
  // The pool starts its threads itself; a thread is counted when it first
  // runs a request, which every thread started for waiting requests does.
  thread_local bool counted = false;
  if (!counted) {
    counted = true;
    metrics_->WorkerStarted();
  }
  metrics_->WorkerBusy();
}

WorkerBusyScope::~WorkerBusyScope() {
  if (metrics_ != nullptr) metrics_->WorkerIdle();
}

ModuleCallScope::ModuleCallScope(Metrics* metrics)
    : metrics_(metrics), start_(std::chrono::steady_clock::now()) {
  if (metrics_ != nullptr) metrics_->ModuleCallStarted();
}

ModuleCallScope::~ModuleCallScope() {
  if (metrics_ == nullptr) return;
  metrics_->ModuleCallFinished(std::chrono::duration_cast<std::chrono::microseconds>(
      std::chrono::steady_clock::now() - start_));
}

void Metrics::CountDroppedAccessLines(std::function<std::uint64_t()> dropped) {
  dropped_source_ = std::move(dropped);
}

std::string Metrics::Text() const {
  if (dropped_source_) {
    // The log keeps its own total; the counter catches up with it.
    std::lock_guard<std::mutex> lock(dropped_mutex_);
    const std::uint64_t dropped = dropped_source_();
    if (dropped > dropped_counted_) {
      access_lines_dropped_->Increment(static_cast<double>(dropped - dropped_counted_));
      dropped_counted_ = dropped;
    }
  }
  std::ostringstream text;
  prometheus::TextSerializer().Serialize(text, registry_->Collect());
  return text.str();
}

}  // namespace hosts
