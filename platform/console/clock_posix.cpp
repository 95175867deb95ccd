// Clock and sleep on POSIX.
#include <cerrno>
#include <ctime>

#include "platform/console/clock_seam.h"

double clockLocalSecondsAtStart() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm local{};
    localtime_r(&now.tv_sec, &local);
    const long milliseconds = now.tv_nsec / 1000000;
    return local.tm_hour * 3600.0 + local.tm_min * 60.0 + local.tm_sec + milliseconds / 1000.0;
}

double clockMonotonicSeconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

CalendarTime clockCalendarNow() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm local{};
    localtime_r(&now.tv_sec, &local);
    return CalendarTime{static_cast<std::int64_t>(now.tv_sec), static_cast<int>(local.tm_gmtoff)};
}

void clockSleepMilliseconds(int milliseconds) {
    timespec remaining{milliseconds / 1000, (milliseconds % 1000) * 1000000L};
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}
