// Virtual clock: time moves only when the program sleeps or waits, so time
// limits are tested exactly and at once.
#pragma once

#include <functional>

namespace fake {

// Virtual monotonic seconds.
double now();
void advance(double seconds);

// Starts over at monotonic 0 with the given local time of day.
void resetClock(double localSecondsAtStart = 10 * 3600.0);

// A wait ends early at the earliest future time one of these reports (a
// negative value: nothing scheduled). Cleared by resetClock.
void addWakeSource(std::function<double()> nextEventTime);

// Called at every sleep of the program (the console double looks at the
// screen there). Cleared by resetClock.
void setSleepHook(std::function<void()> hook);

// Where a wait of at most maxSeconds from now ends.
double wakeTime(double maxSeconds);

}  // namespace fake
