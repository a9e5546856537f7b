// Stop points: the environment and the C library's files, the same on every
// system.
#include "platform/stop_point.h"

#include <cstdio>
#include <cstdlib>

#include "platform/clock.h"

namespace platform {

std::string StopPointFile(const char* variable) {
  const char* file = std::getenv(variable);
  return file == nullptr ? std::string() : std::string(file);
}

void StopHere(const std::string& file) {
  if (std::FILE* sign = std::fopen(file.c_str(), "w")) std::fclose(sign);
  for (;;) SleepMilliseconds(1000);
}

}  // namespace platform
