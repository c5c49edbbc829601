#pragma once
// Time as the programs see it: FILETIME (100 ns since 1601-01-01 UTC), a millisecond tick
// count, and the local calendar time.

#include <cstdint>

namespace platform {

struct LocalTime {
    uint16_t year = 0;
    uint16_t month = 0;      // 1..12
    uint16_t dayOfWeek = 0;  // 0 = Sunday
    uint16_t day = 0;
    uint16_t hour = 0;
    uint16_t minute = 0;
    uint16_t second = 0;
    uint16_t millisecond = 0;
};

uint64_t SystemTimeAsFileTime();
// Milliseconds since an arbitrary start; the 32-bit form wraps like GetTickCount.
uint32_t TickCount();
uint64_t TickCount64();
LocalTime LocalTimeNow();
LocalTime FileTimeToLocalTime(uint64_t filetime);
// Minutes to add to local standard time to get UTC (Windows' Bias: -180 for UTC+3).
int32_t TimeZoneBiasMinutes();
void SleepMs(uint32_t milliseconds);
// The interval at which the system clock advances, in 100 ns units; false when the system
// does not say.
bool ClockIncrement(uint32_t* increment100ns);

constexpr uint64_t kFileTimeUnixEpoch = 116444736000000000ULL;  // 1970-01-01 as FILETIME

}  // namespace platform
