// Clock and sleep primitives, one implementation per target and a virtual
// clock for the tests. The portable timeOfDay() and time limits are built on
// these two readings, so a test of a 20-second limit runs in microseconds.
#pragma once

#include "runtime/upload_record.h"

// Local time of day in seconds since midnight, read once at start.
double clockLocalSecondsAtStart();

// Seconds on a clock that never jumps (only differences are used).
double clockMonotonicSeconds();

// The calendar's time now with the local offset from UTC, for the upload
// log; never used for a time limit.
CalendarTime clockCalendarNow();

// Suspends the program; nothing is read or shown meanwhile.
void clockSleepMilliseconds(int milliseconds);
