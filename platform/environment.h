// Operators' switches read from the process's environment.
#pragma once

#include <cstdlib>

namespace platform {

// True when `variable` is set to anything but "" or "0"; read at every call.
inline bool EnvironmentSwitchOn(const char* variable) {
  const char* value = std::getenv(variable);
  return value != nullptr && value[0] != '\0' && !(value[0] == '0' && value[1] == '\0');
}

}  // namespace platform
