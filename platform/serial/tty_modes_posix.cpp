#include "platform/serial/tty_modes_posix.h"

#include <unistd.h>

#include <cstring>
#include <initializer_list>

#ifdef __linux__
// The kernel's own termios, not the C library's.
#include <asm/termbits.h>
#include <sys/ioctl.h>
#else
#include <termios.h>
#endif

namespace {

static_assert(sizeof(termios) <= sizeof(TtyModes::bytes));

termios modesOf(const TtyModes& modes) {
    termios t;
    std::memcpy(&t, modes.bytes, sizeof t);
    return t;
}

}  // namespace

bool ttyReadModes(int fd, TtyModes& modes) {
    termios t{};
#ifdef __linux__
    if (ioctl(fd, TCGETS, &t) != 0) return false;
#else
    if (tcgetattr(fd, &t) != 0) return false;
#endif
    std::memcpy(modes.bytes, &t, sizeof t);
    return true;
}

bool ttySetModes(int fd, const TtyModes& modes) {
    const termios t = modesOf(modes);
#ifdef __linux__
    return ioctl(fd, TCSETS, &t) == 0;
#else
    return tcsetattr(fd, TCSANOW, &t) == 0;
#endif
}

TtyModes ttyLineModes(const TtyModes& raw, bool crEndsLine) {
    termios t = modesOf(raw);
    t.c_lflag |= ICANON;
    for (const int index : {VEOF, VEOL, VEOL2, VERASE, VKILL, VWERASE, VREPRINT, VLNEXT})
        t.c_cc[index] = _POSIX_VDISABLE;
    if (crEndsLine) t.c_cc[VEOL] = '\r';
    TtyModes line = raw;
    std::memcpy(line.bytes, &t, sizeof t);
    return line;
}
