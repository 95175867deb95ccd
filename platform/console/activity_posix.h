// Descriptors besides the keyboard that waitForActivity() wakes up for
// (the serial port), and what the console's polls saw of them, so that a
// status query straight after a poll needs no system call of its own.
// POSIX targets only.
#pragma once

void watchDescriptor(int fd);
void unwatchDescriptor(int fd);

// How long what a poll saw stays good for the query that follows it.
inline constexpr double freshFor = 0.0002;  // seconds

// 1 when the last poll, just now, saw fd readable, 0 when it saw nothing
// to read, -1 when there is no such fresh poll; an answer is given once.
int readinessSeen(int fd);

// A time (clockMonotonicSeconds) by which a wait that watches fd ends even
// without input, so that its owner can look again; below 0 for none.
void wakeForDescriptorBy(int fd, double at);

// Counts the waits: a descriptor seen empty before a wait may have input
// after it.
unsigned waitsSoFar();
