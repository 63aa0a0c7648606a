// Clock functions built on the system-specific LocalTime.
#include "platform/clock.h"

namespace plat {

std::time_t MakeLocalTime(std::tm tm) { return std::mktime(&tm); }

std::tm LocalTimeNow(std::time_t* now) {
  std::time_t t = std::time(nullptr);
  if (now) *now = t;
  return LocalTime(t);
}

}  // namespace plat
