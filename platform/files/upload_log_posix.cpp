// The upload log on POSIX. Everything that writes the file is
// async-signal-safe (stat, open, write, link, mkdir, memcpy), so the fatal
// signal handler and the normal end share it.
#include <fcntl.h>
#include <limits.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "platform/console/fatal_signals_posix.h"
#include "platform/files/upload_log_seam.h"

namespace {

struct Piece {
    const char* data;
    std::size_t length;
};

constexpr std::size_t partCapacity = 4096;
constexpr std::size_t headerCapacity = 256;
constexpr std::size_t blockCapacity = headerCapacity + 3 * partCapacity;

// What the handler reads: written before `armed` is set, or while the
// handler reads the other copy of the ready row.
char logPath[PATH_MAX];
char header[headerCapacity];
std::size_t headerLength = 0;

struct ReadyRow {
    char beforeEnd[64];
    char afterEnd[partCapacity];
    char afterMessage[64];
    std::size_t beforeEndLength;
    std::size_t afterEndLength;
    std::size_t afterMessageLength;
    int utcOffsetSeconds;
};
ReadyRow readyRows[2];
volatile sig_atomic_t readyIndex = 0;
volatile sig_atomic_t armed = 0;
volatile sig_atomic_t rowTaken = 0;
bool handlersInPlace = false;

void makeFolders(const char* path) {
    char folder[PATH_MAX];
    const std::size_t length = std::strlen(path);
    std::memcpy(folder, path, length + 1);
    for (std::size_t i = 1; i < length; ++i) {
        if (folder[i] != '/') continue;
        folder[i] = '\0';
        mkdir(folder, 0777);  // an existing one is fine, and any other failure shows at the open
        folder[i] = '/';
    }
}

std::size_t gather(char* block, const Piece* pieces, int count) {
    std::size_t length = 0;
    for (int i = 0; i < count; ++i) {
        if (length + pieces[i].length > blockCapacity) break;
        std::memcpy(block + length, pieces[i].data, pieces[i].length);
        length += pieces[i].length;
    }
    return length;
}

bool writeWhole(int fd, const char* data, std::size_t length) {
    ssize_t written = 0;
    do written = write(fd, data, length);
    while (written == -1 && errno == EINTR);
    return written == static_cast<ssize_t>(length);
}

// "<log>.new-<pid>", in the log's folder so that it can be linked there.
bool temporaryName(char* name) {
    const std::size_t length = std::strlen(logPath);
    constexpr char suffix[] = ".new-";
    if (length + sizeof suffix + 20 > PATH_MAX) return false;
    std::memcpy(name, logPath, length);
    std::memcpy(name + length, suffix, sizeof suffix - 1);
    char digits[20];
    int count = 0;
    for (long pid = getpid(); pid > 0 && count < 20; pid /= 10) digits[count++] = static_cast<char>('0' + pid % 10);
    char* p = name + length + sizeof suffix - 1;
    while (count > 0) *p++ = digits[--count];
    *p = '\0';
    return true;
}

// A new log appears whole, header and first row, or not at all: true when
// it did with this row. False when another run made it meanwhile (the row is
// then appended) or it cannot be made.
bool createLog(const char* block, std::size_t length) {
    makeFolders(logPath);
    char temporary[PATH_MAX];
    if (!temporaryName(temporary)) return false;
    const int fd = open(temporary, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0666);
    if (fd == -1) return false;
    const bool written = writeWhole(fd, block, length);
    close(fd);
    const bool linked = written && link(temporary, logPath) == 0;
    const int why = errno;
    unlink(temporary);
    if (linked || !written || why == EEXIST) return linked;
    // A file system without links: an empty log, which gets its header with the row.
    const int empty = open(logPath, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0666);
    if (empty != -1) close(empty);
    return false;
}

// Appends the pieces after the first, the first (the header) too when the
// log is new or empty.
void appendToLog(const Piece* pieces, int count) {
    char block[blockCapacity];
    struct stat info {};
    if (stat(logPath, &info) == 0) {
        if (!S_ISREG(info.st_mode)) return;
    } else if (errno != ENOENT || createLog(block, gather(block, pieces, count))) {
        return;
    }
    const int fd = open(logPath, O_WRONLY | O_APPEND | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (fd == -1) return;
    if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
        const bool withHeader = info.st_size == 0;
        writeWhole(fd, block, gather(block, pieces + (withHeader ? 0 : 1), count - (withHeader ? 0 : 1)));
    }
    close(fd);
}

// The signal's name for the message column ("SIGTERM"), or "signal N".
std::size_t signalName(int signalNumber, char* name) {
    static constexpr struct {
        int number;
        const char* name;
    } names[] = {{SIGHUP, "SIGHUP"},   {SIGINT, "SIGINT"},   {SIGQUIT, "SIGQUIT"}, {SIGILL, "SIGILL"},
                 {SIGTRAP, "SIGTRAP"}, {SIGABRT, "SIGABRT"}, {SIGBUS, "SIGBUS"},   {SIGFPE, "SIGFPE"},
                 {SIGUSR1, "SIGUSR1"}, {SIGSEGV, "SIGSEGV"}, {SIGUSR2, "SIGUSR2"}, {SIGALRM, "SIGALRM"},
                 {SIGTERM, "SIGTERM"}, {SIGXCPU, "SIGXCPU"}, {SIGXFSZ, "SIGXFSZ"}, {SIGSYS, "SIGSYS"}};
    for (const auto& entry : names) {
        if (entry.number != signalNumber) continue;
        const std::size_t length = std::strlen(entry.name);
        std::memcpy(name, entry.name, length);
        return length;
    }
    constexpr char prefix[] = "signal ";
    std::memcpy(name, prefix, sizeof prefix - 1);
    std::size_t length = sizeof prefix - 1;
    char digits[12];
    int count = 0;
    for (int n = signalNumber; n > 0 && count < 12; n /= 10) digits[count++] = static_cast<char>('0' + n % 10);
    while (count > 0) name[length++] = digits[--count];
    return length;
}

void writeSignalRow(int signalNumber) {
    const ReadyRow& row = readyRows[readyIndex];
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    char ended[localTimeLength + 1];
    formatLocalTime(CalendarTime{static_cast<std::int64_t>(now.tv_sec), row.utcOffsetSeconds}, ended);
    char name[32];
    const Piece pieces[] = {{header, headerLength},
                            {row.beforeEnd, row.beforeEndLength},
                            {ended, localTimeLength},
                            {row.afterEnd, row.afterEndLength},
                            {name, signalName(signalNumber, name)},
                            {row.afterMessage, row.afterMessageLength}};
    appendToLog(pieces, 6);
}

void writeRowOnSignal(int signalNumber) {
    // The other fatal signals are held off meanwhile, so one row is written.
    if (armed && !rowTaken) {
        rowTaken = 1;
        writeSignalRow(signalNumber);
    }
}

void putHandlersInPlace() {
    addFatalAction(writeRowOnSignal);
    handlersInPlace = true;
}

void removeHandlers() {
    armed = 0;
    if (!handlersInPlace) return;
    removeFatalAction(writeRowOnSignal);
    handlersInPlace = false;
}

bool copyPart(char* to, std::size_t capacity, std::size_t& length, const std::string& from) {
    if (from.size() > capacity) return false;
    std::memcpy(to, from.data(), from.size());
    length = from.size();
    return true;
}

}  // namespace

bool uploadLogChooseFile() {
    removeHandlers();
    rowTaken = 0;
    logPath[0] = '\0';
    std::string path;
    const char* chosen = std::getenv("FIXQRV_LOG");
    const char* state = std::getenv("XDG_STATE_HOME");
    const char* home = std::getenv("HOME");
    if (chosen != nullptr && *chosen != '\0') {
        if (strcasecmp(chosen, "off") == 0) return false;
        path = chosen;
    } else if (state != nullptr && state[0] == '/') {  // a relative one is not to be used
        path = std::string(state) + "/fixqrv/uploads.csv";
    } else if (home != nullptr && *home != '\0') {
        path = std::string(home) + "/.local/state/fixqrv/uploads.csv";
    } else {
        return false;
    }
    if (path.size() >= sizeof logPath) return false;
    std::memcpy(logPath, path.c_str(), path.size() + 1);
    return true;
}

void uploadLogPrepareFatalEnd(const std::string& headerText, const SignalRowParts& parts, int utcOffsetSeconds) {
    if (logPath[0] == '\0' || rowTaken) return;
    if (!handlersInPlace && !copyPart(header, sizeof header, headerLength, headerText)) return;
    ReadyRow& next = readyRows[1 - readyIndex];
    if (!copyPart(next.beforeEnd, sizeof next.beforeEnd, next.beforeEndLength, parts.beforeEnd) ||
        !copyPart(next.afterEnd, sizeof next.afterEnd, next.afterEndLength, parts.afterEnd) ||
        !copyPart(next.afterMessage, sizeof next.afterMessage, next.afterMessageLength, parts.afterMessage))
        return;  // too long to keep ready: the last ready row stays
    next.utcOffsetSeconds = utcOffsetSeconds;
    std::atomic_signal_fence(std::memory_order_seq_cst);  // the copy comes first
    readyIndex = 1 - readyIndex;
    if (!handlersInPlace) putHandlersInPlace();
    armed = 1;
}

void uploadLogAppendRow(const std::string& headerText, const std::string& row) {
    removeHandlers();
    if (logPath[0] == '\0' || rowTaken) return;
    rowTaken = 1;
    const Piece pieces[] = {{headerText.data(), headerText.size()}, {row.data(), row.size()}};
    appendToLog(pieces, 2);
}
