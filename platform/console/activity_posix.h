// Descriptors besides the keyboard that waitForActivity() wakes up for
// (the serial port), and what the console's polls saw of them, so that a
// status query straight after a poll needs no system call of its own.
// POSIX targets only.
#pragma once

void watchDescriptor(int fd);
void unwatchDescriptor(int fd);

// How long an empty read of a descriptor stays good for the query after it.
inline constexpr double freshFor = 0.0002;  // seconds

// 1 when the last check of the keyboard and port saw fd readable, 0 when
// it saw nothing to read, -1 when no check has looked since the last answer
// or wait: an answer is given once, to the query that follows the check.
int readinessSeen(int fd);

// Time has passed at the port (a write or a read): what the last check or
// wait saw of it and of the keyboard is no answer for the next check.
void forgetLooks();

// Leaves fd out of the waits until the given time (clockMonotonicSeconds;
// 0: watch it again now). Bytes that cannot arrive before then, since the
// line carries them no faster than its rate, need no wake-up each.
void leaveOutOfWaitsUntil(int fd, double until);

// Counts the waits: a descriptor seen empty before a wait may have input
// after it.
unsigned waitsSoFar();
