// The console on a POSIX terminal.
//
// The program's grid is drawn at the top-left of the terminal with ANSI
// sequences: each byte as its code page 437 glyph in UTF-8, colours with the
// blue and red bits swapped (terminal colour order). Output is gathered and
// written in one go before every wait, so the operator sees all of it while
// the program waits; only cells that change are sent.
// Keys are read raw (no echo, no line editing, no signals: Ctrl-C is byte 3)
// and decoded into key strings. The terminal's modes, colours, cursor and
// title are restored on every way out, fatal signals included.
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#ifdef __linux__
#include <sys/epoll.h>
#endif
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/console/activity_posix.h"
#include "platform/console/clock_seam.h"
#include "platform/console/console.h"
#include "platform/console/console_seam.h"
#include "platform/console/cp437.h"
#include "platform/console/fatal_signals_posix.h"
#include "platform/console/key_decoder.h"

namespace {

constexpr int keyboardFd = 0;
int screenFd = -1;  // -1: no terminal to show the screen on, output is lost
termios savedModes{};
bool restored = false;
bool inputEnded = false;
KeyDecoder decoder;
std::string pending;  // output of the current operation
int lastAttribute = -1;
int gridRows = 24;
int gridColumns = 80;
// Where the terminal's cursor is, when known (row 0: not known). Each
// character drawn moves it on by one, so text written in a run needs no
// positioning of its own.
int terminalRow = 0;
int terminalColumn = 0;
bool cursorShown = true;
bool redrawWhole = false;  // the next full drawing starts from a cleared terminal
// What the terminal shows of the grid, once a full drawing has put it there:
// a cell that already shows what it is to show is not sent again, so that
// clearing a mostly blank row or reprinting a counter costs only the change.
std::vector<Cell> shown;
bool shownKnown = false;
std::vector<int> watched;
// The one watched descriptor left out of the waits for now, and until when.
int quietFd = -1;
double quietUntil = -1;
// The size the program asked for; a smaller terminal shows what fits of it.
int wantedColumns = 80;
int wantedRows = 25;

// What the signal handlers read: set before they are installed, or
// sig_atomic_t. The restore text is built in the buffer the handler is not
// using, then switched to in one store.
volatile sig_atomic_t rawApplied = 0;
volatile sig_atomic_t terminalResized = 0;
char signalRestore[2][64];
std::size_t signalRestoreLength[2] = {0, 0};
volatile sig_atomic_t signalRestoreIndex = 0;

void writeAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;  // terminal gone: output is lost
        data += n;
        size -= static_cast<std::size_t>(n);
    }
}

// Where the program has put the cursor (row 0: nowhere yet). It is moved
// there when the output is written, not at each placing: only where it ends
// up shows.
int placedRow = 0;
int placedColumn = 0;

void moveTo(int row, int column);

void flush() {
    if (placedRow > 0) moveTo(placedRow, placedColumn);
    if (screenFd >= 0 && !pending.empty()) writeAll(screenFd, pending.data(), pending.size());
    pending.clear();
}

void prepareSignalRestore() {
    const int next = 1 - signalRestoreIndex;
    const int n = std::snprintf(signalRestore[next], sizeof signalRestore[next],
                                "\x1b[0m\x1b[?25h\x1b[%d;1H\n\x1b[23;0t", gridRows);
    signalRestoreLength[next] = n > 0 ? static_cast<std::size_t>(n) : 0;
    signalRestoreIndex = next;
}

void onFatalSignal(int signalNumber) {
    // Only async-signal-safe calls here.
    if (rawApplied) tcsetattr(keyboardFd, TCSANOW, &savedModes);
    if (screenFd >= 0) {
        const int i = signalRestoreIndex;
        ssize_t ignored = write(screenFd, signalRestore[i], signalRestoreLength[i]);
        (void)ignored;
    }
    signal(signalNumber, SIG_DFL);
    raise(signalNumber);
}

void onResize(int) { terminalResized = 1; }

// The terminal's size, when it has one.
bool terminalSize(int& columns, int& rows) {
    winsize size{};
    if (screenFd < 0 || ioctl(screenFd, TIOCGWINSZ, &size) != 0 || size.ws_col == 0 || size.ws_row == 0)
        return false;
    columns = size.ws_col;
    rows = size.ws_row;
    return true;
}

void applyRawModes() {
    if (!isatty(keyboardFd) || tcgetattr(keyboardFd, &savedModes) != 0) return;
    termios raw = savedModes;
    raw.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR |
                                          ICRNL | IXON | IXOFF | IXANY);
    raw.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    raw.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    raw.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB);
    raw.c_cflag |= CS8;
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    // TCSANOW keeps keys typed ahead.
    rawApplied = tcsetattr(keyboardFd, TCSANOW, &raw) == 0 ? 1 : 0;
}

void appendAttribute(int attr) {
    if (attr == lastAttribute) return;
    lastAttribute = attr;
    // Terminal colour order has the blue and red bits swapped.
    auto terminalColour = [](int c) { return (c & 2) | ((c & 1) << 2) | ((c & 4) >> 2); };
    const int fg = attr & 15;
    const int bg = (attr >> 4) & 15;
    pending += "\x1b[0;";
    pending += std::to_string((fg & 8 ? 90 : 30) + terminalColour(fg));
    pending += ';';
    pending += std::to_string((bg & 8 ? 100 : 40) + terminalColour(bg));
    pending += 'm';
}

void appendNumber(int number) {
    char digits[12];
    int n = 0;
    do {
        digits[n++] = static_cast<char>('0' + number % 10);
        number /= 10;
    } while (number > 0 && n < 12);
    while (n > 0) pending += digits[--n];
}

void moveTo(int row, int column) {
    if (row == terminalRow && column == terminalColumn) return;
    pending += "\x1b[";
    appendNumber(row);
    pending += ';';
    appendNumber(column);
    pending += 'H';
    terminalRow = row;
    terminalColumn = column;
}

void forgetShown() {
    shownKnown = false;
    shown.assign(static_cast<std::size_t>(gridRows) * static_cast<std::size_t>(gridColumns), Cell{});
}

// Draws cells from (row, column) on, within one row; with `changesOnly`, a
// run of cells the terminal shows already is left alone, unless the cursor
// is there and the run is shorter than a sequence to move it past them.
void appendCells(int row, int column, const Cell* cells, int count, bool changesOnly) {
    constexpr int shortRun = 8;
    const bool onGrid = row >= 1 && row <= gridRows && column >= 1 && column <= gridColumns;
    Cell* onTerminal = onGrid ? &shown[static_cast<std::size_t>((row - 1) * gridColumns + (column - 1))] : nullptr;
    const int within = onGrid ? std::min(count, gridColumns - column + 1) : 0;
    const bool skipping = changesOnly && shownKnown;
    auto showsAlready = [&](int i) { return skipping && i < within && onTerminal[i] == cells[i]; };
    for (int i = 0; i < count; ++i) {
        const unsigned char ch = cells[i].ch;
        const bool ascii = ch >= 0x20 && ch < 0x7f;
        if (showsAlready(i)) {
            int run = 1;
            while (i + run < count && run <= shortRun && showsAlready(i + run)) ++run;
            if (run > shortRun || !ascii || row != terminalRow || column + i != terminalColumn) {
                while (i + 1 < count && showsAlready(i + 1)) ++i;
                continue;
            }
        }
        if (i < within) onTerminal[i] = cells[i];
        if (row != terminalRow || column + i != terminalColumn) moveTo(row, column + i);
        appendAttribute(cells[i].attr);
        // A glyph outside ASCII may take two cells in some terminals, and
        // the last column may leave a wrap pending: position anew after them.
        if (ascii)
            pending += static_cast<char>(ch);
        else
            appendUtf8(pending, cp437ToUnicode(ch));
        const bool advancesByOne = ascii && column + i < gridColumns;
        terminalColumn = advancesByOne ? terminalColumn + 1 : 0;
        if (!advancesByOne) terminalRow = 0;
    }
}

// The keyboard and the watched descriptors in one epoll set, for the checks
// that do not wait (one per character sent): nothing ready then costs no
// look at each device, where a terminal's poll would first wait for input
// still on its way through the kernel. Built when first needed; a set the
// system refuses leaves the checks to poll().
int checkSet = -1;
bool checkSetRefused = false;

void dropCheckSet() {
    if (checkSet >= 0) close(checkSet);
    checkSet = -1;
    checkSetRefused = false;
}

bool buildCheckSet() {
#ifdef __linux__
    if (checkSet >= 0 || checkSetRefused) return checkSet >= 0;
    checkSet = epoll_create1(EPOLL_CLOEXEC);
    bool taken = checkSet >= 0;
    std::vector<int> fds = watched;
    if (!inputEnded) fds.push_back(keyboardFd);
    for (int fd : fds) {
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.fd = fd;
        taken = taken && epoll_ctl(checkSet, EPOLL_CTL_ADD, fd, &event) == 0;
    }
    if (!taken) {
        dropCheckSet();
        checkSetRefused = true;
    }
    return taken;
#else
    return false;
#endif
}

void endKeyboard() {
    inputEnded = true;
    keyDecoderFinish(decoder);
    dropCheckSet();
}

// One read of the bytes the terminal has, stamped with their arrival: the
// caller has just seen the keyboard ready, or asks now.
void readKeyboardOnce() {
    char buffer[256];
    const ssize_t n = read(keyboardFd, buffer, sizeof buffer);
    if (n > 0) {
        keyDecoderFeed(decoder, buffer, static_cast<std::size_t>(n), clockMonotonicSeconds());
    } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
        endKeyboard();  // end of input, or the terminal hung up
    }
}

// After a resize the grid takes what the terminal can show of the wanted
// size, and the whole screen is drawn again from it.
void redrawIfResized() {
    if (!terminalResized) return;
    terminalResized = 0;
    int columns = wantedColumns;
    int rows = wantedRows;
    if (terminalSize(columns, rows)) {
        columns = std::min(columns, wantedColumns);
        rows = std::min(rows, wantedRows);
    } else {
        columns = wantedColumns;
        rows = wantedRows;
    }
    gridRows = rows;
    gridColumns = columns;
    terminalRow = 0;
    forgetShown();
    prepareSignalRestore();
    redrawWhole = true;
    refitScreen(columns, rows);
}

// What the last poll saw of the watched descriptors, for one status query
// that follows at once (readinessSeen).
struct Seen {
    int fd = -1;
    bool ready = false;
};
std::vector<Seen> seen;
unsigned waits = 0;
// The last wait looked at the keyboard and the port, and nothing has been
// done at the port since: the check that follows it at once is that look.
bool lookedInWait = false;

void noteSeen(const std::vector<pollfd>& fds, std::size_t first) {
    seen.clear();
    for (std::size_t i = first; i < fds.size(); ++i) seen.push_back({fds[i].fd, fds[i].revents != 0});
}

// The check of the keyboard and the watched descriptors through the epoll
// set; false when there is none to use.
bool checkThroughSet() {
#ifdef __linux__
    if (!buildCheckSet()) return false;
    epoll_event events[8];
    const int ready = epoll_wait(checkSet, events, 8, 0);
    if (ready < 0) {
        seen.clear();
        return true;
    }
    bool keyboardReady = false;
    seen.clear();
    for (int fd : watched) seen.push_back({fd, false});
    for (int i = 0; i < ready; ++i) {
        if (events[i].data.fd == keyboardFd) keyboardReady = true;
        for (Seen& s : seen)
            if (s.fd == events[i].data.fd) s.ready = true;
    }
    if (keyboardReady && !inputEnded) readKeyboardOnce();
    return true;
#else
    return false;
#endif
}

// One poll of the keyboard and, with the port, the watched descriptors but
// `leftOut`; keys that came are read at once so that each carries its own
// arrival time. False when the poll failed and saw nothing.
bool pollOnce(double timeoutSeconds, bool withPort, int leftOut = -1) {
    lookedInWait = false;
    if (timeoutSeconds <= 0 && withPort && checkThroughSet()) return true;
    std::vector<pollfd> fds;
    if (!inputEnded) fds.push_back({keyboardFd, POLLIN, 0});
    const std::size_t first = fds.size();
    if (withPort)
        for (int fd : watched)
            if (fd != leftOut) fds.push_back({fd, POLLIN, 0});
    timeoutSeconds = std::max(0.0, timeoutSeconds);
    if (fds.empty() && timeoutSeconds <= 0) return true;
    // To the microsecond: a wait that ends where a quiet port is watched
    // again must not end a millisecond late.
    const auto whole = static_cast<time_t>(timeoutSeconds);
    const timespec span{whole, static_cast<long>((timeoutSeconds - static_cast<double>(whole)) * 1e9)};
    const int ready = ppoll(fds.data(), fds.size(), &span, nullptr);
    if (ready < 0) {
        seen.clear();
        return false;
    }
    noteSeen(fds, first);
    if (ready > 0 && first == 1 && fds[0].revents != 0) {
        if (fds[0].revents & POLLNVAL)
            endKeyboard();
        else
            readKeyboardOnce();
    }
    return true;
}

// Blocks until the keyboard (and with the port, a watched descriptor) has
// input or timeout milliseconds have passed. The screen is brought up to
// date first: the operator sees everything printed before any wait.
void waitOn(int timeout, bool withPort) {
    redrawIfResized();
    flush();
    ++waits;
    double timeoutSeconds = timeout / 1000.0;
    int leftOut = -1;
    if (withPort && quietFd >= 0) {
        const double left = quietUntil - clockMonotonicSeconds();
        if (left > 0) {
            leftOut = quietFd;
            timeoutSeconds = std::min(timeoutSeconds, left);
        } else {
            quietFd = -1;
        }
    }
    const bool looked = pollOnce(timeoutSeconds, withPort, leftOut);
    lookedInWait = looked && withPort && leftOut < 0;
    redrawIfResized();
}

}  // namespace

void watchDescriptor(int fd) {
    if (std::find(watched.begin(), watched.end(), fd) == watched.end()) watched.push_back(fd);
    dropCheckSet();
}

void unwatchDescriptor(int fd) {
    std::erase(watched, fd);
    if (fd == quietFd) quietFd = -1;
    dropCheckSet();
    seen.clear();
}

void forgetLooks() {
    seen.clear();
    lookedInWait = false;
}

int readinessSeen(int fd) {
    for (Seen& s : seen) {
        if (s.fd != fd) continue;
        s.fd = -1;  // good for the one query that follows the poll
        return s.ready ? 1 : 0;
    }
    return -1;
}

void leaveOutOfWaitsUntil(int fd, double until) {
    quietFd = until > 0 ? fd : -1;
    quietUntil = until;
}

unsigned waitsSoFar() { return waits; }

void consoleSeamOpen() {
    restored = false;
    screenFd = isatty(STDOUT_FILENO) ? STDOUT_FILENO : (isatty(STDERR_FILENO) ? STDERR_FILENO : -1);
    decoder = KeyDecoder{};
    decoder.terminal = isatty(keyboardFd) != 0;
    inputEnded = false;
    dropCheckSet();
    applyRawModes();
    prepareSignalRestore();
    struct sigaction action {};
    action.sa_handler = onFatalSignal;
    sigemptyset(&action.sa_mask);
    forEachFatalSignal([&](int s) { sigaction(s, &action, nullptr); });
    // No SA_RESTART: a resize wakes the wait it falls into, which redraws.
    struct sigaction resize {};
    resize.sa_handler = onResize;
    sigemptyset(&resize.sa_mask);
    sigaction(SIGWINCH, &resize, nullptr);
    signal(SIGPIPE, SIG_IGN);  // a vanished terminal makes writes fail, not kill us
    // Save the title, start from a clean terminal.
    pending += "\x1b[22;0t\x1b[0m\x1b[2J\x1b[H";
    terminalRow = 0;
    placedRow = 0;
    lastAttribute = -1;
    forgetShown();
    flush();
}

void consoleSeamRestore(EndKind kind) {
    if (restored) return;
    restored = true;
    signal(SIGWINCH, SIG_DFL);
    placedRow = 0;  // the way out places the cursor itself
    pending += "\x1b[0m";
    if (kind == EndKind::closing) {
        pending += "\x1b[2J\x1b[H";
    } else {
        // Keep the last screen readable: continue below the grid.
        pending += "\x1b[" + std::to_string(gridRows) + ";1H\n";
    }
    pending += "\x1b[?25h\x1b[23;0t";
    terminalRow = 0;
    flush();
    if (rawApplied) tcsetattr(keyboardFd, TCSANOW, &savedModes);
    rawApplied = 0;
    forEachFatalSignal([](int s) { signal(s, SIG_DFL); });
}

bool consoleSeamResize(int& columns, int& rows) {
    wantedColumns = columns;
    wantedRows = rows;
    int terminalColumns = 0;
    int terminalRows = 0;
    bool fits = true;
    // A terminal too small for the grid shows what fits of it at its
    // top-left; the grid takes that size.
    if (terminalSize(terminalColumns, terminalRows) && (terminalColumns < columns || terminalRows < rows)) {
        columns = std::min(columns, terminalColumns);
        rows = std::min(rows, terminalRows);
        fits = false;
    }
    gridRows = rows;
    gridColumns = columns;
    terminalRow = 0;
    forgetShown();
    prepareSignalRestore();
    return fits;
}

void consoleSeamDrawCells(int row, int column, const Cell* cells, int count) {
    appendCells(row, column, cells, count, true);
}

void consoleSeamDrawAll(const std::vector<Cell>& grid, int columns, int rows) {
    if (redrawWhole) {
        // Whatever the terminal shows outside the grid after a resize goes.
        redrawWhole = false;
        pending += "\x1b[0m\x1b[2J";
        lastAttribute = -1;
    }
    // Everything is drawn: this is where whatever the terminal came to show
    // otherwise is put right.
    if (shown.size() != static_cast<std::size_t>(gridRows) * static_cast<std::size_t>(gridColumns)) forgetShown();
    for (int r = 1; r <= rows; ++r)
        appendCells(r, 1, &grid[static_cast<std::size_t>((r - 1) * columns)], columns, false);
    shownKnown = rows == gridRows && columns == gridColumns;
}

void consoleSeamPlaceCursor(int row, int column, bool visible) {
    placedRow = row;
    placedColumn = column;
    if (visible && !cursorShown) moveTo(row, column);  // shown where it belongs
    if (visible != cursorShown) {
        cursorShown = visible;
        pending += visible ? "\x1b[?25h" : "\x1b[?25l";
    }
}

void consoleSeamSetTitle(const std::string& title) {
    pending += "\x1b]0;" + cp437ToUtf8(title) + '\a';
    flush();
}

void consoleSeamBeep() {
    pending += '\a';
    flush();
}

std::string consoleSeamPollKey() {
    // The port is looked at in the same call: the upload's status query
    // that follows needs no call of its own. A wait that has just looked at
    // both is this check.
    if (lookedInWait)
        lookedInWait = false;
    else
        pollOnce(0, true);
    // The time matters only to keys or a prefix held: most checks hold none.
    if (keyDecoderEmpty(decoder)) return {};
    return keyDecoderNext(decoder, clockMonotonicSeconds());
}

bool consoleSeamKeyboardEnded() { return inputEnded && keyDecoderEmpty(decoder); }

void consoleSeamPause(int milliseconds) {
    const double until = clockMonotonicSeconds() + milliseconds / 1000.0;
    for (double left = until - clockMonotonicSeconds(); left > 0; left = until - clockMonotonicSeconds())
        waitOn(static_cast<int>(std::ceil(left * 1000.0)), false);
}

void waitForActivity(int maxMilliseconds) { waitOn(maxMilliseconds, true); }

void waitForKey(int maxMilliseconds) {
    // A prefix that becomes a key when nothing follows ends the wait then.
    int timeout = maxMilliseconds;
    const double deadline = keyDecoderDeadline(decoder);
    const double left = deadline - clockMonotonicSeconds();
    if (deadline >= 0 && left > 0) timeout = std::min(timeout, static_cast<int>(std::ceil(left * 1000.0)));
    waitOn(timeout, false);
}
