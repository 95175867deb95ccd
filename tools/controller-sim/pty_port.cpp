#include "tools/controller-sim/pty_port.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace sim {

namespace {

std::string failure(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

// Every byte passes unchanged, XON and XOFF included.
bool makeRaw(int fd) {
    termios t{};
    if (tcgetattr(fd, &t) != 0) return false;
    t.c_iflag &= ~tcflag_t(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON |
                           IXOFF | IXANY);
    t.c_oflag &= ~tcflag_t(OPOST);
    t.c_lflag &= ~tcflag_t(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    t.c_cflag &= ~tcflag_t(CSIZE | PARENB);
    t.c_cflag |= CS8 | CREAD | CLOCAL;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    cfsetispeed(&t, B9600);
    cfsetospeed(&t, B9600);
    return tcsetattr(fd, TCSANOW, &t) == 0;
}

bool closeOnExec(int fd) {
    const int flags = fcntl(fd, F_GETFD);
    return flags >= 0 && fcntl(fd, F_SETFD, flags | FD_CLOEXEC) == 0;
}

bool nonBlocking(int fd) {
    const int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

int baudOf(speed_t speed) {
    static const std::pair<speed_t, int> table[] = {
        {B300, 300},     {B600, 600},     {B1200, 1200},   {B2400, 2400},
        {B4800, 4800},   {B9600, 9600},   {B19200, 19200}, {B38400, 38400},
        {B57600, 57600}, {B115200, 115200}, {B230400, 230400},
    };
    for (const auto& [code, baud] : table) {
        if (code == speed) return baud;
    }
    return 0;
}

void closeFd(int& fd) {
    if (fd >= 0) close(fd);
    fd = -1;
}

}  // namespace

std::string openPtyPort(PtyPort& port) {
    port.master = posix_openpt(O_RDWR | O_NOCTTY);
    if (port.master < 0) return failure("posix_openpt");
    if (grantpt(port.master) != 0) return failure("grantpt");
    if (unlockpt(port.master) != 0) return failure("unlockpt");
    const char* name = ptsname(port.master);
    if (!name) return failure("ptsname");
    port.path = name;
    if (!closeOnExec(port.master) || !nonBlocking(port.master)) return failure("fcntl");
    port.spare = open(port.path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (port.spare < 0) return failure(port.path.c_str());
    if (!makeRaw(port.spare)) return failure("tcsetattr");
    return {};
}

int portRate(const PtyPort& port) {
    termios t{};
    const int fd = port.spare >= 0 ? port.spare : port.master;
    if (fd < 0 || tcgetattr(fd, &t) != 0) return 0;
    return baudOf(cfgetospeed(&t));
}

void releaseSpare(PtyPort& port) { closeFd(port.spare); }

void hangUp(PtyPort& port) {
    closeFd(port.spare);
    closeFd(port.master);
}

}  // namespace sim
