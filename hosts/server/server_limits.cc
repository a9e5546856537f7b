// Counting what the embedded server admits.
#include "hosts/server/server_limits.h"

#include <sys/resource.h>

#include <algorithm>

namespace hosts {

ConnectionAdmission ServerLimits::AdmitConnection(const std::string& address, bool per_address) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (connections_ >= settings_.max_connections) return ConnectionAdmission::kOverMaxConnections;
  if (per_address) {
    PerAddress& counts = per_address_[address];
    if (counts.connections >= settings_.per_address_connections) {
      if (counts.connections == 0 && counts.responses == 0) per_address_.erase(address);
      return ConnectionAdmission::kOverPerAddress;
    }
    ++counts.connections;
  }
  ++connections_;
  return ConnectionAdmission::kAdmitted;
}

void ServerLimits::CloseConnection(const std::string& address, bool per_address) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto found = per_address ? per_address_.find(address) : per_address_.end();
  if (found != per_address_.end()) {
    --found->second.connections;
    if (found->second.connections == 0 && found->second.responses == 0) per_address_.erase(found);
  }
  --connections_;
}

bool ServerLimits::StartResponse(const std::string& address) {
  std::lock_guard<std::mutex> lock(mutex_);
  PerAddress& counts = per_address_[address];
  if (counts.responses >= settings_.per_address_responses) return false;
  ++counts.responses;
  return true;
}

void ServerLimits::EndResponse(const std::string& address) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto found = per_address_.find(address);
  if (found == per_address_.end()) return;
  --found->second.responses;
  if (found->second.connections == 0 && found->second.responses == 0) per_address_.erase(found);
}

bool ServerLimits::HoldBody(std::uint64_t bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (bytes > settings_.max_held_body_bytes - held_body_bytes_) return false;
  held_body_bytes_ += bytes;
  return true;
}

void ServerLimits::ReleaseBody(std::uint64_t bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  held_body_bytes_ -= std::min(bytes, held_body_bytes_);
}

std::size_t ServerLimits::connections() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return connections_;
}

std::size_t ConnectionsWithinDescriptors(std::size_t requested, unsigned max_module_calls) {
  constexpr std::size_t kFewest = 16;
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) {
    return requested != 0 ? requested : 65536;
  }
  const std::size_t reserve =
      kBaseDescriptorReserve + std::size_t{max_module_calls} * kDescriptorsPerModuleCall;
  const auto descriptors = static_cast<std::size_t>(limit.rlim_cur);
  const std::size_t most = descriptors > reserve + kFewest ? descriptors - reserve : kFewest;
  return requested != 0 ? std::min(requested, most) : most;
}

}  // namespace hosts
