#include <windows.h>

#include "platform/clock.h"

namespace platform {

uint64_t SystemTimeAsFileTime() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

uint32_t TickCount() {
    return GetTickCount();
}
uint64_t TickCount64() {
    return GetTickCount64();
}

LocalTime FileTimeToLocalTime(uint64_t filetime) {
    FILETIME utc{static_cast<DWORD>(filetime), static_cast<DWORD>(filetime >> 32)};
    SYSTEMTIME utcParts{}, parts{};
    FileTimeToSystemTime(&utc, &utcParts);
    SystemTimeToTzSpecificLocalTime(nullptr, &utcParts, &parts);
    LocalTime local;
    local.year = parts.wYear;
    local.month = parts.wMonth;
    local.dayOfWeek = parts.wDayOfWeek;
    local.day = parts.wDay;
    local.hour = parts.wHour;
    local.minute = parts.wMinute;
    local.second = parts.wSecond;
    local.millisecond = parts.wMilliseconds;
    return local;
}

LocalTime LocalTimeNow() {
    return FileTimeToLocalTime(SystemTimeAsFileTime());
}

int32_t TimeZoneBiasMinutes() {
    TIME_ZONE_INFORMATION zone{};
    GetTimeZoneInformation(&zone);
    return static_cast<int32_t>(zone.Bias + zone.StandardBias);
}

void SleepMs(uint32_t milliseconds) {
    Sleep(milliseconds);
}

bool ClockIncrement(uint32_t* increment100ns) {
    DWORD adjustment = 0, increment = 0;
    BOOL disabled = FALSE;
    if (!GetSystemTimeAdjustment(&adjustment, &increment, &disabled)) return false;
    *increment100ns = increment;
    return true;
}

}  // namespace platform
