// Sleeping and the local calendar time.
#pragma once

namespace platform {

void SleepMilliseconds(unsigned milliseconds);

struct LocalTime {
  int day = 0;     // 1..31
  int month = 0;   // 1..12
  int year = 0;    // four digits
  int hour = 0;    // 0..23
  int minute = 0;  // 0..59
  int second = 0;  // 0..60
};

// The present local time; false if the platform cannot tell it.
bool LocalNow(LocalTime& out);

}  // namespace platform
