// Who this process is on Windows: the computer's NetBIOS name and the
// process id.
#include <windows.h>

#include "platform/process_identity.h"

namespace platform {

std::string HostName() {
  char host[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD size = sizeof host;
  if (!GetComputerNameA(host, &size)) return std::string();
  return std::string(host, size);
}

std::uint64_t CurrentProcessId() { return static_cast<std::uint64_t>(GetCurrentProcessId()); }

}  // namespace platform
