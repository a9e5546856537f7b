// Who this process is on POSIX: gethostname and getpid.
#include <unistd.h>

#include "platform/process_identity.h"

namespace platform {

std::string HostName() {
  char host[256] = {};
  if (gethostname(host, sizeof host - 1) != 0) return std::string();
  return std::string(host);
}

std::uint64_t CurrentProcessId() { return static_cast<std::uint64_t>(getpid()); }

}  // namespace platform
