#include "platform/clock.h"

#include <ctime>
#include <time.h>

namespace platform {
namespace {

LocalTime ToLocalTime(time_t seconds, uint16_t millisecond) {
    struct tm parts {};
    localtime_r(&seconds, &parts);
    LocalTime local;
    local.year = static_cast<uint16_t>(parts.tm_year + 1900);
    local.month = static_cast<uint16_t>(parts.tm_mon + 1);
    local.dayOfWeek = static_cast<uint16_t>(parts.tm_wday);
    local.day = static_cast<uint16_t>(parts.tm_mday);
    local.hour = static_cast<uint16_t>(parts.tm_hour);
    local.minute = static_cast<uint16_t>(parts.tm_min);
    local.second = static_cast<uint16_t>(parts.tm_sec);
    local.millisecond = millisecond;
    return local;
}

}  // namespace

uint64_t SystemTimeAsFileTime() {
    struct timespec now {};
    clock_gettime(CLOCK_REALTIME, &now);
    return kFileTimeUnixEpoch + static_cast<uint64_t>(now.tv_sec) * 10000000ULL +
           static_cast<uint64_t>(now.tv_nsec) / 100;
}

uint64_t TickCount64() {
    struct timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000ULL +
           static_cast<uint64_t>(now.tv_nsec) / 1000000;
}

uint32_t TickCount() {
    return static_cast<uint32_t>(TickCount64());
}

LocalTime FileTimeToLocalTime(uint64_t filetime) {
    uint64_t sinceEpoch = filetime >= kFileTimeUnixEpoch ? filetime - kFileTimeUnixEpoch : 0;
    return ToLocalTime(static_cast<time_t>(sinceEpoch / 10000000ULL),
                       static_cast<uint16_t>(sinceEpoch % 10000000ULL / 10000));
}

LocalTime LocalTimeNow() {
    return FileTimeToLocalTime(SystemTimeAsFileTime());
}

int32_t TimeZoneBiasMinutes() {
    // Standard (not daylight) offset: the bias of a January and a July date, whichever is
    // further west is standard time in either hemisphere.
    time_t now = time(nullptr);
    struct tm parts {};
    localtime_r(&now, &parts);
    long offsets[2];
    for (int i = 0; i < 2; ++i) {
        struct tm probe {};
        probe.tm_year = parts.tm_year;
        probe.tm_mon = i == 0 ? 0 : 6;
        probe.tm_mday = 1;
        probe.tm_hour = 12;
        probe.tm_isdst = -1;
        time_t at = mktime(&probe);
        struct tm local {};
        localtime_r(&at, &local);
        offsets[i] = local.tm_gmtoff;
    }
    long standard = offsets[0] < offsets[1] ? offsets[0] : offsets[1];
    return static_cast<int32_t>(-standard / 60);
}

void SleepMs(uint32_t milliseconds) {
    struct timespec delay {};
    delay.tv_sec = milliseconds / 1000;
    delay.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
    while (nanosleep(&delay, &delay) != 0) {
    }
}

// The coarse clock advances once per kernel tick, as Windows' system time does per interrupt.
bool ClockIncrement(uint32_t* increment100ns) {
    struct timespec resolution {};
    if (clock_getres(CLOCK_REALTIME_COARSE, &resolution) != 0) return false;
    uint64_t units = static_cast<uint64_t>(resolution.tv_sec) * 10000000ULL +
                     static_cast<uint64_t>(resolution.tv_nsec) / 100;
    *increment100ns = units > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(units);
    return true;
}

}  // namespace platform
