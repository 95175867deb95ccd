#include "support/fake_clock.h"

#include <stdexcept>
#include <vector>

#include "platform/console/clock_seam.h"

namespace {
double monotonic = 0;
double localAtStart = 10 * 3600.0;
std::vector<std::function<double()>> wakeSources;
std::function<void()> sleepHook;
// A test that waits for something that never comes would otherwise spin.
constexpr double runawayLimit = 1e6;
}  // namespace

namespace fake {

double now() { return monotonic; }

void advance(double seconds) {
    monotonic += seconds;
    if (monotonic > runawayLimit) throw std::runtime_error("virtual clock ran away: a wait never ended");
}

void resetClock(double localSecondsAtStart) {
    monotonic = 0;
    localAtStart = localSecondsAtStart;
    wakeSources.clear();
    sleepHook = nullptr;
}

void setSleepHook(std::function<void()> hook) { sleepHook = std::move(hook); }

void addWakeSource(std::function<double()> nextEventTime) { wakeSources.push_back(std::move(nextEventTime)); }

double wakeTime(double maxSeconds) {
    double until = monotonic + maxSeconds;
    for (auto& source : wakeSources) {
        const double t = source();
        // Events already due wake nobody: the waiter looks at them itself.
        if (t > monotonic && t < until) until = t;
    }
    return until;
}

}  // namespace fake

double clockLocalSecondsAtStart() { return localAtStart; }
double clockMonotonicSeconds() { return monotonic; }
// 2026-12-10, ten in the morning at UTC+01:00, as the local time of day above.
CalendarTime clockCalendarNow() {
    constexpr std::int64_t midnightUtc = 1796860800;  // 2026-12-10T00:00:00Z
    constexpr int offset = 3600;
    return CalendarTime{midnightUtc - offset + static_cast<std::int64_t>(localAtStart + monotonic), offset};
}

void clockSleepMilliseconds(int milliseconds) {
    if (sleepHook) sleepHook();
    fake::advance(milliseconds / 1000.0);
}
