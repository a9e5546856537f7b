// The rate of requests one client may make: a token bucket per client (the
// peer, or the client a trusted proxy names) that fills at a steady rate up
// to a burst, so a browser's page loads and polls pass while one client
// cannot draw tickets at hundreds a second. The clock is injected so that
// tests control time.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

namespace hosts {

struct RateSettings {
  // Requests a second a client may keep up; 0 turns the limit off. A page
  // polls once a second; loading one takes a few requests more.
  double per_second = 10;
  // Requests a client may make at once above the steady rate.
  unsigned burst = 100;
};

class RequestRate {
 public:
  using Clock = std::function<std::chrono::steady_clock::time_point()>;

  // `clock` is steady_clock::now unless a test gives its own.
  explicit RequestRate(const RateSettings& settings, Clock clock = {});

  // Takes one request of `client`'s allowance: nullopt when there is one,
  // else the whole seconds until there will be (at least 1), for a
  // Retry-After field.
  std::optional<unsigned> Take(const std::string& client);

  // Clients with a bucket not yet full (a full one is forgotten).
  std::size_t tracked() const;

 private:
  struct Bucket {
    double tokens = 0;
    std::chrono::steady_clock::time_point updated;
  };
  // Drops the buckets that have filled up again: such a client is as if
  // new. Run as the table grows, so it stays as large as the clients
  // active within one burst's refill time.
  void ForgetFullBuckets(std::chrono::steady_clock::time_point now);
  double Refilled(const Bucket& bucket, std::chrono::steady_clock::time_point now) const;

  const RateSettings settings_;
  const Clock clock_;
  mutable std::mutex mutex_;
  std::unordered_map<std::string, Bucket> buckets_;
  std::size_t sweep_at_ = 1024;
};

}  // namespace hosts
