// Windows sleep and local time.
#include <windows.h>

#include "platform/clock.h"

namespace platform {

void SleepMilliseconds(unsigned milliseconds) { Sleep(milliseconds); }

bool LocalNow(LocalTime& out) {
  SYSTEMTIME local{};
  GetLocalTime(&local);
  out.day = local.wDay;
  out.month = local.wMonth;
  out.year = local.wYear;
  out.hour = local.wHour;
  out.minute = local.wMinute;
  out.second = local.wSecond;
  return true;
}

}  // namespace platform
