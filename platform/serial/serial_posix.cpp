// The serial seam on POSIX: a tty device claimed the ways other programs
// honour (UUCP lock file, no other process holding it, flock, TIOCEXCL), put
// in raw mode, its bytes read ahead into a buffer of our own and its line
// errors read from the driver's TIOCGICOUNT counters where the driver keeps
// them. A status query costs no system call when the console's poll has just
// seen the port, or a read has just emptied the driver's queue. The port's
// modes are set at opening, at a change of the line settings and at closing,
// never per line: on a USB adapter each set is a control transfer.
// The termios found at opening (HUPCL included, so DTR drops at closing) and
// the driver's latency flag are put back at closing and on fatal signals.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#ifdef __linux__
#include <linux/serial.h>
#endif

#include "platform/console/activity_posix.h"
#include "platform/console/clock_seam.h"
#include "platform/console/fatal_signals_posix.h"
#include "platform/files/file_seam.h"
#include "platform/serial/port_claim_posix.h"
#include "platform/serial/serial_seam.h"

namespace {

constexpr int writeStallMilliseconds = 2000;
constexpr int drainMilliseconds = 500;

// Line-error counters seen at the last status query.
struct ErrorCounts {
    long frame = 0, overrun = 0, bufferOverrun = 0;
    bool operator==(const ErrorCounts&) const = default;
};

// What an open port must have put back when it is closed, and what has
// been read from it ahead of the program.
struct OpenPort {
    termios found{};
    bool lowLatencySet = false;
    std::string lockPath;
    ErrorCounts counts;
    bool countsKept = false;  // the driver keeps line-error counters
    bool lineError = false;   // seen with the bytes read ahead, not yet told
    std::string ahead;        // read from the driver, not yet by the program
    std::size_t taken = 0;    // of `ahead`
    // The driver's queue was empty at that time; good until the next wait
    // or write, for a moment.
    bool emptied = false;
    double emptiedAt = 0;
    unsigned emptiedWaits = 0;
    // The rest of an echo. Bytes cross the line no faster than its rate, so
    // the echo of a line's CR cannot come before everything written since
    // the line's first write has gone out: until shortly before then the
    // port is left out of the waits. A link faster than its rate (a
    // pseudo-terminal without pacing, a network port) is watched throughout.
    double characterSeconds = 10.0 / 9600;  // one character at the line rate
    bool writing = false;                   // writes since the last hint
    double firstWriteAt = 0;
    long writtenSince = 0;
    long readSince = 0;
    bool fasterThanRate = false;
};
std::map<int, OpenPort> openPorts;

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

// ---- What a fatal signal puts back. Everything the handler reads is
// written before signalFd names the port.

volatile sig_atomic_t signalFd = -1;
volatile sig_atomic_t signalLowLatency = 0;
termios signalModes{};
char signalLockPath[PATH_MAX];

void clearLowLatency(int fd) {
#ifdef __linux__
    serial_struct serial{};
    if (ioctl(fd, TIOCGSERIAL, &serial) != 0) return;
    serial.flags &= ~ASYNC_LOW_LATENCY;
    ioctl(fd, TIOCSSERIAL, &serial);
#else
    (void)fd;
#endif
}

void putPortBackOnSignal(int) {
    // The latency ioctl is a plain system call.
    const int fd = signalFd;
    if (fd < 0) return;
    tcsetattr(fd, TCSANOW, &signalModes);
    if (signalLowLatency) clearLowLatency(fd);
    // Ours: left set, it would keep the port from the next opener for as
    // long as anyone else has the device open.
    ioctl(fd, TIOCNXCL);
    if (signalLockPath[0] != '\0') unlink(signalLockPath);
}

void guardAgainstSignals(int fd, const OpenPort& port) {
    signalFd = -1;
    signalModes = port.found;
    signalLowLatency = port.lowLatencySet;
    std::snprintf(signalLockPath, sizeof signalLockPath, "%s", port.lockPath.c_str());
    std::atomic_signal_fence(std::memory_order_seq_cst);  // the copies above come first
    signalFd = fd;
    addFatalAction(putPortBackOnSignal);
}

void releaseSignals() {
    signalFd = -1;
    removeFatalAction(putPortBackOnSignal);
}

// ---- Settings, each change read back.

constexpr tcflag_t rawInputCleared =
    BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY | INPCK | IMAXBEL;
constexpr tcflag_t rawLocalCleared = ECHO | ECHONL | ICANON | ISIG | IEXTEN;
constexpr tcflag_t lineCflags = CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS | CLOCAL | CREAD;

// Whether the device took what was asked: a driver may accept a request
// and quietly keep some of its own values.
bool taken(const termios& asked, const termios& got) {
    return cfgetospeed(&got) == cfgetospeed(&asked) && cfgetispeed(&got) == cfgetispeed(&asked) &&
           (got.c_cflag & lineCflags) == (asked.c_cflag & lineCflags) &&
           (got.c_iflag & (rawInputCleared | IGNBRK)) == (asked.c_iflag & (rawInputCleared | IGNBRK)) &&
           (got.c_oflag & OPOST) == (asked.c_oflag & OPOST) &&
           (got.c_lflag & rawLocalCleared) == (asked.c_lflag & rawLocalCleared) &&
           got.c_cc[VMIN] == asked.c_cc[VMIN] && got.c_cc[VTIME] == asked.c_cc[VTIME];
}

// 0 when the device took the modes; 5 when it refused or kept its own.
int applyModes(int fd, const termios& modes) {
    if (tcsetattr(fd, TCSANOW, &modes) != 0) return 5;
    termios back{};
    if (tcgetattr(fd, &back) != 0) return failure(errno);
    return taken(modes, back) ? 0 : 5;
}

// Every byte passes unchanged, XON and XOFF included; a break is no data.
// HUPCL stays as found, so closing drops DTR when the port did so before.
int makeRaw(int fd, const termios& found) {
    termios modes = found;
    modes.c_iflag &= ~rawInputCleared;
    modes.c_iflag |= IGNBRK;
    modes.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    modes.c_lflag &= ~rawLocalCleared;
    modes.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
    modes.c_cflag |= CLOCAL | CREAD;
    modes.c_cc[VMIN] = 1;  // with O_NONBLOCK: EAGAIN when empty, 0 only on hang-up
    modes.c_cc[VTIME] = 0;
    return applyModes(fd, modes);
}

// USB adapters hold received bytes up to their latency timer (16 ms on an
// FTDI) unless asked for low latency; devices without the request (a
// pseudo-terminal) are used as they are.
bool setLowLatency(int fd) {
#ifdef __linux__
    serial_struct serial{};
    if (ioctl(fd, TIOCGSERIAL, &serial) != 0 || (serial.flags & ASYNC_LOW_LATENCY)) return false;
    serial.flags |= ASYNC_LOW_LATENCY;
    return ioctl(fd, TIOCSSERIAL, &serial) == 0;
#else
    (void)fd;
    return false;
#endif
}

// Lets what was written leave the line before the rate goes back to the
// found one, without waiting on a device that drains nothing.
void letOutputDrain(int fd) {
    for (int waited = 0; waited < drainMilliseconds; waited += 2) {
        int queued = 0;
        if (ioctl(fd, TIOCOUTQ, &queued) != 0) return;
        bool empty = queued == 0;
#if defined(__linux__) && defined(TIOCSERGETLSR)
        unsigned int lineStatus = 0;
        if (empty && ioctl(fd, TIOCSERGETLSR, &lineStatus) == 0) empty = (lineStatus & TIOCSER_TEMT) != 0;
#endif
        if (empty) return;
        poll(nullptr, 0, 2);
    }
}

void releaseDevice(int fd, const OpenPort& port) {
    tcsetattr(fd, TCSANOW, &port.found);
    if (port.lowLatencySet) clearLowLatency(fd);
    ioctl(fd, TIOCNXCL);
}

// Whether another opener holds the device exclusively. Root's open passes
// TIOCEXCL where anyone else's fails: root is refused the same way, and
// the flag is never ours to clear.
bool heldExclusively(int fd) {
#ifdef TIOCGEXCL
    int exclusive = 0;
    return ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive != 0;
#else
    (void)fd;
    return false;
#endif
}

int claimDevice(int fd) {
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISCHR(info.st_mode) || !isatty(fd)) return 69;
    // TIOCEXCL and flock keep later openers out; the search finds those
    // that were there first.
    if (heldExclusively(fd) || flock(fd, LOCK_EX | LOCK_NB) != 0 || ioctl(fd, TIOCEXCL) != 0) return 69;
    if (deviceOpenElsewhere(fd)) {
        ioctl(fd, TIOCNXCL);  // ours: it was clear before
        return 69;
    }
    return 0;
}

const std::map<int, speed_t> speeds = {{1200, B1200},   {2400, B2400},   {4800, B4800},
                                       {9600, B9600},   {19200, B19200}, {38400, B38400},
                                       {57600, B57600}, {115200, B115200}};

// The driver's queue counts as empty until the next wait, or for a moment.
void markEmptied(OpenPort& port) {
    port.emptied = true;
    port.emptiedAt = clockMonotonicSeconds();
    port.emptiedWaits = waitsSoFar();
}

// Whether the driver's queue is known to be empty without asking it.
bool knownEmpty(int fd, const OpenPort& port) {
    const int seen = readinessSeen(fd);
    if (seen >= 0) return seen == 0;
    return port.emptied && port.emptiedWaits == waitsSoFar() && clockMonotonicSeconds() - port.emptiedAt < freshFor;
}

// Moves what the driver holds into the buffer once the buffer is used up.
int readAhead(int fd, OpenPort& port) {
    if (port.taken < port.ahead.size() || knownEmpty(fd, port)) return 0;
    port.ahead.clear();
    port.taken = 0;
    char buffer[4096];
    forgetLooks();
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n == 0) return deviceGone;
    if (n < 0 && errno != EAGAIN && errno != EINTR) return failure(errno);
    port.emptied = false;
    if (n < static_cast<ssize_t>(sizeof buffer)) markEmptied(port);
    if (n <= 0) return 0;
    if (port.writing) port.readSince += n;
    port.ahead.assign(buffer, static_cast<std::size_t>(n));
    ErrorCounts counts;
    if (port.countsKept && readCounts(fd, counts)) {
        port.lineError = port.lineError || counts != port.counts;
        port.counts = counts;
    }
    return 0;
}

}  // namespace

int serialSeamOpen(const std::string& portName, SerialHandle& handle) {
    const std::string path = devicePath(portName);
    char resolved[PATH_MAX];
    // The lock is named after the device node, whatever link led to it.
    if (!realpath(path.c_str(), resolved)) return 69;
    OpenPort port;
    if (takePortLock(resolved, port.lockPath) != 0) return 69;
    const int fd = open(resolved, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    int error = fd < 0 ? 69 : claimDevice(fd);
    if (error == 0) {
        if (tcgetattr(fd, &port.found) != 0)
            error = 69;
        else if ((error = makeRaw(fd, port.found)) != 0)
            tcsetattr(fd, TCSANOW, &port.found);
        if (error != 0) ioctl(fd, TIOCNXCL);
    }
    if (error != 0) {
        if (fd >= 0) close(fd);
        releasePortLock(port.lockPath);
        return error;
    }
    port.lowLatencySet = setLowLatency(fd);
    port.countsKept = readCounts(fd, port.counts);
    guardAgainstSignals(fd, port);
    openPorts[fd] = port;
    watchDescriptor(fd);
    handle.value = fd;
    return 0;
}

int serialSeamClose(SerialHandle handle) {
    const int fd = fdOf(handle);
    unwatchDescriptor(fd);
    const auto found = openPorts.find(fd);
    OpenPort port;
    if (found != openPorts.end()) {
        port = found->second;
        openPorts.erase(found);
    }
    // A signal during the drain finds its handler still armed; one during
    // the restore waits until the port and the lock are back, so no signal
    // can end the process between the two.
    letOutputDrain(fd);
    const sigset_t previousMask = blockFatalSignals();
    releaseDevice(fd, port);
    const int result = close(fd) == 0 ? 0 : failure(errno);
    releasePortLock(port.lockPath);
    if (signalFd == fd) releaseSignals();
    unblockFatalSignals(previousMask);
    return result;
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
    const int error = applyModes(fd, modes);
    if (const auto port = openPorts.find(fd); error == 0 && port != openPorts.end()) {
        const int bits = 1 + settings.dataBits + (settings.parityChecking ? 1 : 0) + settings.stopBits;
        port->second.characterSeconds = static_cast<double>(bits) / settings.baudRate;
    }
    return error;
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
    OpenPort& port = openPorts[fd];
    waiting = 0;
    lineError = false;
    if (const int error = readAhead(fd, port)) return error;
    waiting = static_cast<int>(port.ahead.size() - port.taken);
    lineError = port.lineError;
    port.lineError = false;
    return 0;
}

void serialSeamExpect(SerialHandle handle, int count) {
    const int fd = fdOf(handle);
    const auto found = openPorts.find(fd);
    if (found == openPorts.end()) return;
    OpenPort& port = found->second;
    const bool wasWriting = port.writing;
    port.writing = false;
    if (!wasWriting || port.fasterThanRate || count < 3) return;
    const double now = clockMonotonicSeconds();
    // More bytes back than the line could carry meanwhile: a faster link.
    if (port.readSince > (now - port.firstWriteAt) / port.characterSeconds + 3) {
        port.fasterThanRate = true;
        return;
    }
    // The CR went out one character time after the bytes before it at the
    // earliest, its echo one more after that, and the LF after the echo:
    // watching again a character before the CR's echo can come keeps the
    // reaction to the line's end immediate.
    const double until = port.firstWriteAt + static_cast<double>(port.writtenSince - 1) * port.characterSeconds;
    if (until > now) leaveOutOfWaitsUntil(fd, until);
}

int serialSeamReadByte(SerialHandle handle, char& byte, bool& got) {
    const int fd = fdOf(handle);
    OpenPort& port = openPorts[fd];
    got = false;
    if (const int error = readAhead(fd, port)) return error;
    if (port.taken == port.ahead.size()) return 0;
    byte = port.ahead[port.taken++];
    got = true;
    return 0;
}

int serialSeamWrite(SerialHandle handle, const char* data, int count) {
    const int fd = fdOf(handle);
    // Time passes in the write: what was known of the queue is no longer.
    if (const auto port = openPorts.find(fd); port != openPorts.end()) {
        OpenPort& open = port->second;
        open.emptied = false;
        forgetLooks();
        leaveOutOfWaitsUntil(fd, 0);
        if (!open.writing) {
            open.writing = true;
            open.firstWriteAt = clockMonotonicSeconds();
            open.writtenSince = 0;
            open.readSince = 0;
        }
        open.writtenSince += count;
    }
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

std::string serialSeamDevicePath(const std::string& portName) { return devicePath(portName); }
