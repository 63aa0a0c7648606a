// Local time and monotonic ticks.
#pragma once
#include <cstdint>
#include <ctime>

namespace plat {

// The current local time (broken down) and the wall-clock seconds it was taken from.
std::tm LocalTimeNow(std::time_t* now = nullptr);
std::tm LocalTime(std::time_t t);
std::tm UtcTime(std::time_t t);
// Seconds since 1970 of a broken-down local time; -1 when it cannot be represented.
std::time_t MakeLocalTime(std::tm tm);
// Milliseconds from an arbitrary start, never going back.
uint64_t TickMs();
void SleepMs(uint32_t ms);

}  // namespace plat
