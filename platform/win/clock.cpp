#include "platform/clock.h"
#include "platform/system.h"

#include <windows.h>

namespace plat {

std::tm LocalTime(std::time_t t) {
  std::tm tm{};
  localtime_s(&tm, &t);
  return tm;
}

std::tm UtcTime(std::time_t t) {
  std::tm tm{};
  gmtime_s(&tm, &t);
  return tm;
}

long GmtOffsetSeconds(const std::tm& local) {
  TIME_ZONE_INFORMATION tz{};
  DWORD kind = GetTimeZoneInformation(&tz);
  long bias = tz.Bias;  // minutes west of UTC
  if (local.tm_isdst > 0 && kind == TIME_ZONE_ID_DAYLIGHT) bias += tz.DaylightBias;
  else if (kind != TIME_ZONE_ID_INVALID) bias += tz.StandardBias;
  return -bias * 60;
}

uint64_t TickMs() { return GetTickCount64(); }

void SleepMs(uint32_t ms) { Sleep(ms); }

}  // namespace plat
