// Descriptors besides the keyboard that waitForActivity() wakes up for
// (the serial port). POSIX targets only.
#pragma once

void watchDescriptor(int fd);
void unwatchDescriptor(int fd);
