// The token buckets of the per-client request rate.
#include "hosts/server/request_rate.h"

#include <algorithm>
#include <cmath>

namespace hosts {

RequestRate::RequestRate(const RateSettings& settings, Clock clock)
    : settings_(settings),
      clock_(clock ? std::move(clock) : Clock([] { return std::chrono::steady_clock::now(); })) {}

double RequestRate::Refilled(const Bucket& bucket,
                             std::chrono::steady_clock::time_point now) const {
  const double elapsed = std::chrono::duration<double>(now - bucket.updated).count();
  return std::min<double>(settings_.burst,
                          bucket.tokens + std::max(0.0, elapsed) * settings_.per_second);
}

std::optional<unsigned> RequestRate::Take(const std::string& client) {
  if (settings_.per_second <= 0) return std::nullopt;
  const auto now = clock_();
  std::lock_guard<std::mutex> lock(mutex_);
  if (buckets_.size() >= sweep_at_) ForgetFullBuckets(now);
  const auto [found, added] = buckets_.try_emplace(client);
  Bucket& bucket = found->second;
  bucket.tokens = added ? static_cast<double>(settings_.burst) : Refilled(bucket, now);
  bucket.updated = now;
  if (bucket.tokens >= 1) {
    bucket.tokens -= 1;
    return std::nullopt;
  }
  const double wait = (1 - bucket.tokens) / settings_.per_second;
  return static_cast<unsigned>(std::max(1.0, std::ceil(wait)));
}

void RequestRate::ForgetFullBuckets(std::chrono::steady_clock::time_point now) {
  std::erase_if(buckets_,
                [&](const auto& entry) { return Refilled(entry.second, now) >= settings_.burst; });
  // Sweep again once the table has doubled past what is still active.
  sweep_at_ = std::max<std::size_t>(1024, 2 * buckets_.size());
}

std::size_t RequestRate::tracked() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return buckets_.size();
}

}  // namespace hosts
