// The serial seam on POSIX: a tty device opened exclusively and put in raw
// mode, its waiting bytes counted with FIONREAD and its line errors read from
// the driver's TIOCGICOUNT counters where the driver keeps them.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <map>
#include <string>

#ifdef __linux__
#include <linux/serial.h>
#endif

#include "platform/console/activity_posix.h"
#include "platform/files/file_seam.h"
#include "platform/serial/serial_seam.h"

namespace {

constexpr int writeStallMilliseconds = 2000;

// Line-error counters seen at the last status query, per descriptor.
struct ErrorCounts {
    long frame = 0, overrun = 0, bufferOverrun = 0;
    bool operator==(const ErrorCounts&) const = default;
};
std::map<int, ErrorCounts> lastCounts;

int fdOf(SerialHandle handle) { return static_cast<int>(handle.value); }

// A hung-up or vanished device: reads give 0 or EIO, poll always reports.
constexpr int deviceGone = 57;

int failure(int err) { return err == EIO ? deviceGone : fileErrorNumberFromNative(err); }

// Port n from its program name "COMn" or "\\.\COMn".
std::string devicePath(const std::string& portName) {
    const auto at = portName.rfind("COM");
    const std::string digits = at == std::string::npos ? "" : portName.substr(at + 3);
    if (const char* path = std::getenv(("FIXQRV_COM" + digits).c_str()); path && *path) return path;
    const int number = digits.empty() ? 0 : std::atoi(digits.c_str());
    return "/dev/ttyS" + std::to_string(number - 1);
}

bool readCounts(int fd, ErrorCounts& counts) {
#if defined(__linux__) && defined(TIOCGICOUNT)
    serial_icounter_struct icount{};
    if (ioctl(fd, TIOCGICOUNT, &icount) != 0) return false;
    counts = {icount.frame, icount.overrun, icount.buf_overrun};
    return true;
#else
    (void)fd;
    (void)counts;
    return false;
#endif
}

void makeRaw(int fd) {
    termios modes{};
    if (tcgetattr(fd, &modes) != 0) return;
    modes.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL |
                                            IXON | IXOFF | IXANY | INPCK);
    modes.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    modes.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    modes.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS | HUPCL);
    modes.c_cflag |= CLOCAL | CREAD;
    modes.c_cc[VMIN] = 1;  // with O_NONBLOCK: EAGAIN when empty, 0 only on hang-up
    modes.c_cc[VTIME] = 0;
    tcsetattr(fd, TCSANOW, &modes);
}

const std::map<int, speed_t> speeds = {{1200, B1200},   {2400, B2400},   {4800, B4800},
                                       {9600, B9600},   {19200, B19200}, {38400, B38400},
                                       {57600, B57600}, {115200, B115200}};

}  // namespace

int serialSeamOpen(const std::string& portName, SerialHandle& handle) {
    const int fd = open(devicePath(portName).c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return 69;
    struct stat info {};
    // Exclusive like a port opened without sharing: TIOCEXCL keeps others'
    // opens out, the lock tells a second FixQRV at once.
    if (fstat(fd, &info) != 0 || !S_ISCHR(info.st_mode) || !isatty(fd) || flock(fd, LOCK_EX | LOCK_NB) != 0 ||
        ioctl(fd, TIOCEXCL) != 0) {
        close(fd);
        return 69;
    }
    makeRaw(fd);
    ErrorCounts counts;
    lastCounts[fd] = readCounts(fd, counts) ? counts : ErrorCounts{};
    watchDescriptor(fd);
    handle.value = fd;
    return 0;
}

int serialSeamClose(SerialHandle handle) {
    const int fd = fdOf(handle);
    unwatchDescriptor(fd);
    lastCounts.erase(fd);
    ioctl(fd, TIOCNXCL);
    return close(fd) == 0 ? 0 : failure(errno);
}

int serialSeamReadSettings(SerialHandle handle, SerialSettings& settings) {
    termios modes{};
    if (tcgetattr(fdOf(handle), &modes) != 0) return failure(errno);
    const speed_t speed = cfgetospeed(&modes);
    settings.baudRate = 0;
    for (const auto& [rate, code] : speeds)
        if (code == speed) settings.baudRate = rate;
    const tcflag_t size = modes.c_cflag & CSIZE;
    settings.dataBits = size == CS5 ? 5 : size == CS6 ? 6 : size == CS7 ? 7 : 8;
    settings.parityChecking = (modes.c_cflag & PARENB) != 0;
    settings.stopBits = (modes.c_cflag & CSTOPB) ? 2 : 1;
    return 0;
}

int serialSeamWriteSettings(SerialHandle handle, const SerialSettings& settings) {
    termios modes{};
    const int fd = fdOf(handle);
    if (tcgetattr(fd, &modes) != 0) return failure(errno);
    const auto speed = speeds.find(settings.baudRate);
    if (speed == speeds.end() || settings.dataBits < 5 || settings.dataBits > 8) return 5;
    cfsetispeed(&modes, speed->second);
    cfsetospeed(&modes, speed->second);
    const tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
    modes.c_cflag = (modes.c_cflag & ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB)) |
                    sizes[settings.dataBits - 5] | (settings.parityChecking ? PARENB : 0) |
                    (settings.stopBits == 2 ? CSTOPB : 0);
    if (tcsetattr(fd, TCSANOW, &modes) != 0) return 5;
    return 0;
}

int serialSeamQueueSizes(SerialHandle, int& transmit, int& receive) {
    transmit = 4096;  // the tty layer's buffers; not adjustable
    receive = 4096;
    return 0;
}

int serialSeamRecommendQueueSizes(SerialHandle, int, int) { return 0; }

int serialSeamSetDtr(SerialHandle handle, bool on) {
    int bits = TIOCM_DTR;
    if (ioctl(fdOf(handle), on ? TIOCMBIS : TIOCMBIC, &bits) == 0) return 0;
    // Pseudo-terminals and some adapters have no modem lines.
    return errno == EINVAL || errno == ENOTTY || errno == ENOSYS ? 0 : failure(errno);
}

int serialSeamStatus(SerialHandle handle, int& waiting, bool& lineError) {
    const int fd = fdOf(handle);
    waiting = 0;
    lineError = false;
    if (ioctl(fd, FIONREAD, &waiting) != 0) return failure(errno);
    if (waiting == 0) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 0) == 1 && (p.revents & (POLLHUP | POLLERR | POLLNVAL))) return deviceGone;
    }
    ErrorCounts counts;
    if (readCounts(fd, counts)) {
        lineError = counts != lastCounts[fd];
        lastCounts[fd] = counts;
    }
    return 0;
}

int serialSeamReadByte(SerialHandle handle, char& byte, bool& got) {
    got = false;
    for (;;) {
        const ssize_t n = read(fdOf(handle), &byte, 1);
        if (n == 1) {
            got = true;
            return 0;
        }
        if (n == 0) return deviceGone;
        if (errno == EINTR) continue;
        return errno == EAGAIN ? 0 : failure(errno);
    }
}

int serialSeamWrite(SerialHandle handle, const char* data, int count) {
    const int fd = fdOf(handle);
    while (count > 0) {
        const ssize_t n = write(fd, data, static_cast<std::size_t>(count));
        if (n > 0) {
            data += n;
            count -= static_cast<int>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN) return 69;
        // Driver full: wait for room, but not forever on a stalled device.
        pollfd p{fd, POLLOUT, 0};
        if (poll(&p, 1, writeStallMilliseconds) != 1 || (p.revents & (POLLERR | POLLHUP | POLLNVAL))) return 69;
    }
    return 0;
}
