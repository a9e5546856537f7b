// The /metrics page on a listener of its own, apart from the portal's
// listeners, so that it can stay on loopback (or a management network) while
// the portal is public. One thread of its own serves it; a scrape never
// waits for the portal's workers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "hosts/operations/metrics.h"

namespace hosts {

class MetricsListener {
 public:
  // Listens on "ADDR:PORT" (numeric address; port 0 picks a free one) and
  // serves GET /metrics from `metrics`, which must outlive the listener,
  // on at most `max_connections` connections at once (more are closed at
  // once: a scraper needs one). nullptr and the reason when the address is
  // malformed or cannot be bound.
  static std::unique_ptr<MetricsListener> Start(const std::string& address_port,
                                                const Metrics& metrics, std::string* error,
                                                std::size_t max_connections = 8);
  // Stops listening and ends the thread.
  ~MetricsListener();
  MetricsListener(const MetricsListener&) = delete;
  MetricsListener& operator=(const MetricsListener&) = delete;

  std::uint16_t port() const;

  struct State;

 private:
  explicit MetricsListener(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

}  // namespace hosts
