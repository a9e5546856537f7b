// What the embedded server admits at once, so that no client can exhaust
// it: connections in all and from one address, responses being written to
// one client, and request bodies held in memory; and how many descriptors
// stay free for the module's own files. Behind a trusted proxy the client
// is the one the proxy names, as a proxy's own limits would count it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>

#include "hosts/host_options.h"

namespace hosts {

// Whether a connection is taken, or the limit it reached.
enum class ConnectionAdmission { kAdmitted, kOverMaxConnections, kOverPerAddress };

class ServerLimits {
 public:
  explicit ServerLimits(const LimitSettings& settings) : settings_(settings) {}

  // Counts a new connection from `address`, against the total and, when
  // `per_address`, against that address's own bound. A trusted proxy's
  // connections carry many clients: they are bounded by the total alone.
  ConnectionAdmission AdmitConnection(const std::string& address, bool per_address);
  void CloseConnection(const std::string& address, bool per_address);
  // The same for a connection counted per address; false when refused.
  bool OpenConnection(const std::string& address) {
    return AdmitConnection(address, true) == ConnectionAdmission::kAdmitted;
  }
  void CloseConnection(const std::string& address) { CloseConnection(address, true); }

  // Counts a response about to be written to `client` (the peer, or the
  // client a trusted proxy names); false when that client already has as
  // many as it may.
  bool StartResponse(const std::string& address);
  void EndResponse(const std::string& address);

  // Takes `bytes` of the body memory; false (nothing taken) when that would
  // pass the bound.
  bool HoldBody(std::uint64_t bytes);
  void ReleaseBody(std::uint64_t bytes);

  std::size_t connections() const;

 private:
  struct PerAddress {
    std::size_t connections = 0;
    std::size_t responses = 0;
  };
  const LimitSettings settings_;
  mutable std::mutex mutex_;
  std::size_t connections_ = 0;
  std::uint64_t held_body_bytes_ = 0;
  std::unordered_map<std::string, PerAddress> per_address_;
};

// Descriptors one call of the module may hold open at once: the pointer
// file, the counter's lock and counter, the request, server and wait files,
// the answer and a file it names, with room to spare.
inline constexpr std::size_t kDescriptorsPerModuleCall = 12;
// Descriptors for the listeners, the process's own and the libraries'.
inline constexpr std::size_t kBaseDescriptorReserve = 64;

// The connections the descriptor limit leaves room for once every one of
// `max_module_calls` calls of the module can open its files: `requested`
// when it fits (0 asks for the most), else the most that does. At least 16.
std::size_t ConnectionsWithinDescriptors(std::size_t requested, unsigned max_module_calls);

}  // namespace hosts
