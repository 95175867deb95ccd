// A tty's modes as its driver holds them, for the switch into line mode and
// back that an upload makes twice a line. On Linux each switch is one call
// to the driver, where the C library's tcsetattr makes three (it reads the
// modes before and after setting them); elsewhere it goes through termios.
#pragma once

struct TtyModes {
    alignas(8) unsigned char bytes[128];
};

bool ttyReadModes(int fd, TtyModes& modes);
bool ttySetModes(int fd, const TtyModes& modes);

// Canonical input with no editing characters: every byte passes as it came
// (a disabled character is no character, NUL included), and a read or poll
// sees nothing until an LF (or, with crEndsLine, a CR) ends the line.
TtyModes ttyLineModes(const TtyModes& raw, bool crEndsLine);
