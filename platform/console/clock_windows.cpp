// Clock and sleep on Windows.
#include <windows.h>

#include "platform/console/clock_seam.h"

double clockLocalSecondsAtStart() {
    SYSTEMTIME now{};
    GetLocalTime(&now);
    return now.wHour * 3600.0 + now.wMinute * 60.0 + now.wSecond + now.wMilliseconds / 1000.0;
}

double clockMonotonicSeconds() {
    static const double ticksPerSecond = [] {
        LARGE_INTEGER frequency{};
        QueryPerformanceFrequency(&frequency);
        return static_cast<double>(frequency.QuadPart);
    }();
    LARGE_INTEGER now{};
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) / ticksPerSecond;
}

namespace {

// Seconds since 1970 of a FILETIME (100 ns units since 1601).
std::int64_t secondsOf(const FILETIME& time) {
    const std::int64_t ticks = (static_cast<std::int64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    return (ticks - 116444736000000000LL) / 10000000;
}

}  // namespace

CalendarTime clockCalendarNow() {
    SYSTEMTIME utc{};
    GetSystemTime(&utc);
    SYSTEMTIME local{};
    FILETIME utcTime{};
    FILETIME localTime{};
    if (!SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local)) local = utc;
    SystemTimeToFileTime(&utc, &utcTime);
    SystemTimeToFileTime(&local, &localTime);
    const std::int64_t seconds = secondsOf(utcTime);
    const auto offset = static_cast<int>(secondsOf(localTime) - seconds);
    return CalendarTime{seconds, offset / 60 * 60};
}

void clockSleepMilliseconds(int milliseconds) {
    if (milliseconds > 0) Sleep(static_cast<DWORD>(milliseconds));
}
