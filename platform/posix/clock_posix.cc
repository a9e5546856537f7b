// POSIX sleep and local time.
#include <cerrno>
#include <ctime>

#include "platform/clock.h"

namespace platform {

void SleepMilliseconds(unsigned milliseconds) {
  timespec request{static_cast<time_t>(milliseconds / 1000),
                   static_cast<long>(milliseconds % 1000) * 1000000L};
  timespec remaining{};
  while (nanosleep(&request, &remaining) != 0 && errno == EINTR) request = remaining;
}

bool LocalNow(LocalTime& out) {
  const time_t now = time(nullptr);
  tm local{};
  if (now == static_cast<time_t>(-1) || localtime_r(&now, &local) == nullptr) return false;
  out.day = local.tm_mday;
  out.month = local.tm_mon + 1;
  out.year = local.tm_year + 1900;
  out.hour = local.tm_hour;
  out.minute = local.tm_min;
  out.second = local.tm_sec;
  return true;
}

}  // namespace platform
