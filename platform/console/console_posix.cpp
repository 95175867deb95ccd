// The console on a POSIX terminal.
//
// The program's grid is its whole screen, whatever the terminal's size; the
// terminal is a view of it. The view is as much of the grid as the terminal
// holds, shown at its top-left, and moves only to keep the cursor's cell in
// sight. Each byte is shown as its code page 437 glyph in UTF-8, colours with
// the blue and red bits swapped (terminal colour order).
//
// Drawing: the seam keeps the grid as the portable console hands it over and
// brings the terminal up to date before every wait, sending only the cells
// that differ from what it shows; a scroll of the grid is a scroll of the
// terminal. Output never blocks: what the terminal does not take at once
// goes out while the program waits, and the picture after it is drawn from
// the grid then, the states in between skipped. The serial dialogue never
// waits for the screen.
//
// Keys are read raw (no echo, no line editing, no signals: Ctrl-C is byte 3)
// and decoded into key strings. The terminal's modes, colours, cursor and
// title are put back on every way out, fatal signals included, and while the
// program is stopped (SIGTSTP, SIGTTIN, SIGTTOU); when it continues, raw mode
// is taken again and the whole screen drawn.
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
#include <iterator>
#include <string>
#include <vector>

#include "platform/console/activity_posix.h"
#include "platform/console/clock_seam.h"
#include "platform/console/console_seam.h"
#include "platform/console/cp437.h"
#include "platform/console/fatal_signals_posix.h"
#include "platform/console/key_decoder.h"

namespace {

constexpr int keyboardFd = 0;
// How long putting the terminal back may wait for a terminal that does not
// read, at the end and before a stop.
constexpr double restoreBound = 2.0;     // seconds
constexpr int signalWriteBound = 500;    // milliseconds, in a fatal signal's handler

int screenFd = -1;  // -1: no terminal to show the screen on, output is lost
// The terminal opened anew for writing without blocking, so that the flag
// does not reach the shell's descriptors; or, where it cannot be opened,
// screenFd itself with the flag set (screenFlags: its flags before).
int outputFd = -1;
bool outputOpened = false;
bool screenGone = false;  // the terminal hung up: nothing more is written
termios savedModes{};
bool modesSaved = false;
bool restored = false;
bool inputEnded = false;
KeyDecoder decoder;

// ---- The program's grid, as the portable console last handed it over.
int gridColumns = 80;
int gridRows = 25;
std::vector<Cell> grid(80 * 25);
std::vector<char> rowChanged(25, 0);
int gridScrolls = 0;  // scrolls since the terminal was last brought up to date
int cursorRow = 1;
int cursorColumn = 1;
bool cursorVisible = true;
std::string title;
bool titleChanged = false;
bool bellDue = false;

// ---- What the terminal shows.
int terminalColumns = 80;
int terminalRows = 25;
// The view: grid rows viewTop+1.. and columns viewLeft+1.. at the terminal's
// top-left, viewRows by viewColumns of them.
int viewTop = 0;
int viewLeft = 0;
int viewRows = 0;
int viewColumns = 0;
struct Shown {
    Cell cell;
    bool known = false;
};
std::vector<Shown> shown;  // the view's cells on the terminal, row by row
bool redrawAll = false;    // clear the terminal and draw the whole view
// Where the terminal's cursor is, when known (row 0: not known). Each
// character drawn moves it on by one, so text written in a run needs no
// positioning of its own.
int terminalRow = 0;
int terminalColumn = 0;
bool cursorShown = true;
int lastAttribute = -1;
std::string out;  // drawn, not yet taken by the terminal

std::vector<int> watched;
// The one watched descriptor left out of the waits for now, and until when.
int quietFd = -1;
double quietUntil = -1;

// ---- What the signal handlers read: set before they are installed, or
// sig_atomic_t. The restore text is built in the buffer the handler is not
// using, then switched to in one store.
volatile sig_atomic_t rawApplied = 0;
volatile sig_atomic_t signalOutputFd = -1;
volatile sig_atomic_t screenFlags = -1;  // >= 0: put back on screenFd
volatile sig_atomic_t terminalResized = 0;
volatile sig_atomic_t stopSignal = 0;
volatile sig_atomic_t continued = 0;
char signalRestore[2][64];
std::size_t signalRestoreLength[2] = {0, 0};
volatile sig_atomic_t signalRestoreIndex = 0;
constexpr int stopSignals[] = {SIGTSTP, SIGTTIN, SIGTTOU};
bool stopHandled[std::size(stopSignals)] = {};  // not ignored at start

bool handlesStop(int signalNumber) {
    for (std::size_t i = 0; i < std::size(stopSignals); ++i)
        if (stopSignals[i] == signalNumber) return stopHandled[i];
    return false;
}

// ---- Signal handlers: async-signal-safe calls only.

// Writes all of it unless the terminal takes nothing for `stallMs`.
void writeInHandler(int fd, const char* data, std::size_t size, int stallMs) {
    int tries = 100;  // a handler never loops for ever
    while (size > 0 && tries-- > 0) {
        const ssize_t n = write(fd, data, size);
        if (n > 0) {
            data += n;
            size -= static_cast<std::size_t>(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd p{fd, POLLOUT, 0};
            if (poll(&p, 1, stallMs) <= 0) return;
        } else if (!(n < 0 && errno == EINTR)) {
            return;
        }
    }
}

void putTerminalBackOnSignal(int) {
    if (rawApplied) tcsetattr(keyboardFd, TCSANOW, &savedModes);
    if (signalOutputFd >= 0) {
        const int i = signalRestoreIndex;
        writeInHandler(signalOutputFd, signalRestore[i], signalRestoreLength[i], signalWriteBound);
    }
    if (screenFlags >= 0) fcntl(screenFd, F_SETFL, screenFlags);
}

// Stopping and continuing are taken up where the program waits or looks at
// the keyboard, where the screen can be put back and drawn again.
void onStop(int signalNumber) { stopSignal = signalNumber; }
void onContinue(int) { continued = 1; }
void onResize(int) { terminalResized = 1; }

// What a fatal signal writes: a sequence cut short is cancelled (CAN), then
// colours, cursor and title are put back and the shell continues below the
// screen.
void prepareSignalRestore() {
    const int next = 1 - signalRestoreIndex;
    const int n = std::snprintf(signalRestore[next], sizeof signalRestore[next],
                                "\x18\x1b[0m\x1b[?25h\x1b[%d;1H\n\x1b[23;0t", std::max(1, viewRows));
    signalRestoreLength[next] = n > 0 ? static_cast<std::size_t>(n) : 0;
    signalRestoreIndex = next;
}

// ---- The terminal device.

// The terminal's size, when it has one.
bool terminalSize(int& columns, int& rows) {
    winsize size{};
    if (screenFd < 0 || ioctl(screenFd, TIOCGWINSZ, &size) != 0 || size.ws_col == 0 || size.ws_row == 0)
        return false;
    columns = size.ws_col;
    rows = size.ws_row;
    return true;
}

void openOutput() {
    outputFd = -1;
    outputOpened = false;
    screenFlags = -1;
    if (screenFd < 0) return;
    const char* name = ttyname(screenFd);
    if (name != nullptr) outputFd = open(name, O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (outputFd >= 0) {
        outputOpened = true;
        return;
    }
    const int flags = fcntl(screenFd, F_GETFL);
    if (flags >= 0 && fcntl(screenFd, F_SETFL, flags | O_NONBLOCK) == 0 && !(flags & O_NONBLOCK)) screenFlags = flags;
    outputFd = screenFd;
}

// The flag set on a shared descriptor is the shell's too: off while stopped
// and at the end, on again when continued.
void shareBlocking(bool blocking) {
    if (outputOpened || outputFd < 0) return;
    const int flags = fcntl(screenFd, F_GETFL);
    if (flags < 0) return;
    if (blocking && screenFlags >= 0) {
        fcntl(screenFd, F_SETFL, screenFlags);
        screenFlags = -1;
    } else if (!blocking && !(flags & O_NONBLOCK) && fcntl(screenFd, F_SETFL, flags | O_NONBLOCK) == 0) {
        screenFlags = flags;
    }
}

void closeOutput() {
    signalOutputFd = -1;
    shareBlocking(true);
    if (outputOpened) close(outputFd);
    outputFd = -1;
    outputOpened = false;
}

// Not a background job: only the terminal's foreground may change its modes
// and draw on it. A terminal that is not ours to ask (no controlling
// terminal) is ours.
bool ownsTerminal() {
    const pid_t group = tcgetpgrp(screenFd >= 0 ? screenFd : keyboardFd);
    return group < 0 || group == getpgrp();
}

void applyRawModes() {
    if (!modesSaved) return;
    termios raw = savedModes;
    raw.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR |
                                          ICRNL | IXON | IXOFF | IXANY);
    raw.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    raw.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    raw.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB);
    raw.c_cflag |= CS8;
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    // TCSANOW keeps keys typed ahead. From the background this fails
    // (SIGTTOU), and the job stops until it is in the foreground again.
    rawApplied = tcsetattr(keyboardFd, TCSANOW, &raw) == 0 ? 1 : 0;
}

void putModesBack() {
    if (rawApplied) tcsetattr(keyboardFd, TCSANOW, &savedModes);
    rawApplied = 0;
}

// ---- Output.

// Hands the terminal as much as it takes now.
void writeSome() {
    if (screenGone || outputFd < 0) {
        out.clear();
        return;
    }
    std::size_t done = 0;
    while (done < out.size()) {
        const ssize_t n = write(outputFd, out.data() + done, out.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR && !stopSignal) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) break;
        screenGone = true;  // hung up: output is lost from now on
        out.clear();
        return;
    }
    out.erase(0, done);
}

bool outputWaiting() { return !out.empty() && !screenGone && outputFd >= 0; }

// Writes what is drawn, waiting for the terminal until `until` at most.
void writeUntil(double until) {
    for (;;) {
        writeSome();
        if (!outputWaiting()) return;
        const double left = until - clockMonotonicSeconds();
        if (left <= 0) return;
        pollfd p{outputFd, POLLOUT, 0};
        poll(&p, 1, std::max(1, static_cast<int>(std::ceil(left * 1000.0))));
    }
}

void appendNumber(int number) {
    char digits[12];
    int n = 0;
    do {
        digits[n++] = static_cast<char>('0' + number % 10);
        number /= 10;
    } while (number > 0 && n < 12);
    while (n > 0) out += digits[--n];
}

void appendAttribute(int attr) {
    if (attr == lastAttribute) return;
    lastAttribute = attr;
    // Terminal colour order has the blue and red bits swapped.
    auto terminalColour = [](int c) { return (c & 2) | ((c & 1) << 2) | ((c & 4) >> 2); };
    const int fg = attr & 15;
    const int bg = (attr >> 4) & 15;
    out += "\x1b[0;";
    appendNumber((fg & 8 ? 90 : 30) + terminalColour(fg));
    out += ';';
    appendNumber((bg & 8 ? 100 : 40) + terminalColour(bg));
    out += 'm';
}

void resetAttribute() {
    out += "\x1b[0m";
    lastAttribute = -1;
}

// Terminal positions, 1-based.
void moveTo(int row, int column) {
    if (row == terminalRow && column == terminalColumn) return;
    out += "\x1b[";
    appendNumber(row);
    out += ';';
    appendNumber(column);
    out += 'H';
    terminalRow = row;
    terminalColumn = column;
}

Shown& shownAt(int row, int column) {
    return shown[static_cast<std::size_t>((row - 1) * viewColumns + (column - 1))];
}

const Cell& gridAt(int row, int column) {
    return grid[static_cast<std::size_t>((row - 1) * gridColumns + (column - 1))];
}

bool isAscii(const Cell& cell) { return cell.ch >= 0x20 && cell.ch < 0x7f; }

// One cell at the terminal's cursor, at terminal row and column.
void putCell(int column, const Cell& cell) {
    appendAttribute(cell.attr);
    if (isAscii(cell))
        out += static_cast<char>(cell.ch);
    else
        appendUtf8(out, cp437ToUnicode(cell.ch));
    shownAt(terminalRow, column) = {cell, true};
    // A glyph outside ASCII may take two cells in some terminals, and the
    // last column may leave a wrap pending: position anew after them.
    if (isAscii(cell) && column < terminalColumns)
        terminalColumn = column + 1;
    else
        terminalRow = 0;
}

// The cells of a terminal row that differ from the grid. A short run of
// unchanged cells between two changes is written again rather than moved
// past, when that is cheaper than a cursor sequence.
void drawRow(int row) {
    constexpr int shortRun = 6;
    for (int column = 1; column <= viewColumns; ++column) {
        const Cell& want = gridAt(viewTop + row, viewLeft + column);
        const Shown& has = shownAt(row, column);
        if (has.known && has.cell == want) continue;
        if (terminalRow == row && terminalColumn < column && column - terminalColumn <= shortRun) {
            bool cheap = true;
            for (int c = terminalColumn; c < column && cheap; ++c) {
                const Cell& between = gridAt(viewTop + row, viewLeft + c);
                cheap = isAscii(between) && between.attr == lastAttribute;
            }
            if (cheap)
                for (int c = terminalColumn; c < column; ++c) putCell(c, gridAt(viewTop + row, viewLeft + c));
        }
        moveTo(row, column);
        putCell(column, want);
    }
}

// The first grid row or column of a view of `size` that shows `at`
// (1-based): the grid's start whenever that shows it, else `first` while
// that shows it, else moved as far as it takes and `jump` more.
int follow(int first, int at, int size, int total, int jump) {
    if (at <= size) return 0;
    if (at > first + size)
        first = at - size + jump;
    else if (at <= first)
        first = at - 1 - jump;
    return std::clamp(first, 0, std::max(0, total - size));
}

// Moves the terminal's lines up by `count` within the view, as the grid's
// did: a line feed on the view's bottom row, inside a scrolling region when
// the terminal has rows below the view.
void scrollTerminal(int count) {
    // The lines brought in are blank in the colours in force; outside the
    // grid (a wider terminal) they must stay the terminal's own.
    resetAttribute();
    const bool region = viewRows < terminalRows;
    if (region) {
        out += "\x1b[1;";
        appendNumber(viewRows);
        out += 'r';
        terminalRow = 0;  // the region's setting homes the cursor
    }
    moveTo(viewRows, 1);
    out.append(static_cast<std::size_t>(count), '\n');
    if (region) out += "\x1b[r";
    terminalRow = 0;
    const auto by = static_cast<std::ptrdiff_t>(count) * viewColumns;
    std::move(shown.begin() + by, shown.end(), shown.begin());
    std::fill(shown.end() - by, shown.end(), Shown{});
}

// Draws the grid's latest state: whatever the terminal shows that differs
// from the view of it.
void compose() {
    const int rows = std::min(terminalRows, gridRows);
    const int columns = std::min(terminalColumns, gridColumns);
    if (rows != viewRows || columns != viewColumns) {
        viewRows = rows;
        viewColumns = columns;
        redrawAll = true;
        prepareSignalRestore();
    }
    const int oldTop = viewTop;
    const int oldLeft = viewLeft;
    viewTop = follow(viewTop, cursorRow, viewRows, gridRows, 0);
    // Sideways by a quarter more, so that text typed on needs no move at
    // every character.
    viewLeft = follow(viewLeft, cursorColumn, viewColumns, gridColumns, viewColumns / 4);
    const bool everyRow = redrawAll || gridScrolls > 0 || viewTop != oldTop || viewLeft != oldLeft;
    if (redrawAll) {
        redrawAll = false;
        resetAttribute();
        out += "\x1b[2J";
        terminalRow = 0;
        shown.assign(static_cast<std::size_t>(viewRows) * static_cast<std::size_t>(viewColumns), Shown{});
    } else {
        const int shift = gridScrolls + (viewTop - oldTop);
        if (viewLeft == oldLeft && shift > 0 && shift < viewRows) scrollTerminal(shift);
    }
    gridScrolls = 0;
    if (titleChanged) {
        out += "\x1b]0;" + cp437ToUtf8(title) + '\a';
        titleChanged = false;
    }
    if (bellDue) {
        out += '\a';
        bellDue = false;
    }
    for (int row = 1; row <= viewRows; ++row)
        if (everyRow || rowChanged[static_cast<std::size_t>(viewTop + row - 1)]) drawRow(row);
    std::fill(rowChanged.begin(), rowChanged.end(), 0);
    if (cursorVisible) {
        moveTo(cursorRow - viewTop, cursorColumn - viewLeft);
        if (!cursorShown) out += "\x1b[?25h";
    } else if (cursorShown) {
        out += "\x1b[?25l";
    }
    cursorShown = cursorVisible;
}

// Brings the terminal up to date with the grid, as far as it takes output
// now; what it does not take is written first at the next chance.
void flush() {
    if (screenFd < 0 || screenGone) {
        out.clear();
        return;
    }
    if (stopSignal) return;  // the terminal is put back first
    writeSome();
    if (!out.empty()) return;
    compose();
    writeSome();
}

// ---- Stopping, continuing, resizing.

// Colours, cursor and title as found, the cursor below the screen. What was
// drawn goes out first, within the bound; the rest is dropped.
void putScreenBack(bool clear, double until) {
    writeUntil(until);
    if (!out.empty()) out = "\x18";  // cancels a sequence cut short
    resetAttribute();
    if (clear) {
        out += "\x1b[2J\x1b[H";
    } else {
        // Keep the last screen readable: continue below it.
        out += "\x1b[";
        appendNumber(std::max(1, viewRows));
        out += ";1H\n";
    }
    out += "\x1b[?25h\x1b[23;0t";
    terminalRow = 0;
    cursorShown = true;
    writeUntil(until);
    out.clear();
}

void resumeNow() {
    continued = 0;
    if (!ownsTerminal()) {
        // Continued in the background: stopped again, as a job that
        // touches its terminal from there is, until brought to the front.
        if (handlesStop(SIGTTOU)) stopSignal = SIGTTOU;
        return;
    }
    applyRawModes();
    shareBlocking(false);
    // The title is saved again and set; the whole screen is drawn, at the
    // size the terminal has now.
    out += "\x1b[22;0t";
    titleChanged = !title.empty();
    terminalSize(terminalColumns, terminalRows);
    redrawAll = true;
}

void suspendNow() {
    const int signalNumber = stopSignal;
    stopSignal = 0;
    // From the background the terminal is the foreground job's: untouched.
    if (screenFd >= 0 && !screenGone && ownsTerminal()) putScreenBack(false, clockMonotonicSeconds() + restoreBound);
    if (ownsTerminal()) putModesBack();
    out.clear();
    shareBlocking(true);
    // Stopped as the signal stops, then on where it left off.
    struct sigaction ours {};
    struct sigaction standard {};
    standard.sa_handler = SIG_DFL;
    sigemptyset(&standard.sa_mask);
    sigaction(signalNumber, &standard, &ours);
    raise(signalNumber);
    sigaction(signalNumber, &ours, nullptr);
    resumeNow();
}

void takeNewSize() {
    terminalResized = 0;
    terminalSize(terminalColumns, terminalRows);
    // The terminal may have moved or cut what it showed.
    redrawAll = true;
}

// Signals noted since the last look, taken up where drawing and the
// terminal's modes can be handled in full.
void attendToTerminal() {
    if (restored) return;
    if (stopSignal) suspendNow();
    if (continued) resumeNow();
    if (terminalResized) takeNewSize();
}

// Sets `handler` for `signalNumber`, with no other signal held meanwhile.
void catchSignal(int signalNumber, void (*handler)(int), int flags) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = flags;
    sigaction(signalNumber, &action, nullptr);
}

void installHandlers() {
    addFatalAction(putTerminalBackOnSignal);
    // No SA_RESTART: a resize wakes the wait it falls into, which redraws.
    catchSignal(SIGWINCH, onResize, 0);
    // A stop the program was started to ignore stays ignored. No SA_RESTART
    // either: from the background, a terminal call that raises SIGTTOU would
    // otherwise raise it again for ever.
    for (std::size_t i = 0; i < std::size(stopSignals); ++i) {
        struct sigaction current {};
        stopHandled[i] = sigaction(stopSignals[i], nullptr, &current) == 0 && current.sa_handler != SIG_IGN;
        if (stopHandled[i]) catchSignal(stopSignals[i], onStop, 0);
    }
    catchSignal(SIGCONT, onContinue, SA_RESTART);
    signal(SIGPIPE, SIG_IGN);  // a vanished terminal makes writes fail, not kill us
}

void removeHandlers() {
    signal(SIGWINCH, SIG_DFL);
    signal(SIGCONT, SIG_DFL);
    for (std::size_t i = 0; i < std::size(stopSignals); ++i)
        if (stopHandled[i]) signal(stopSignals[i], SIG_DFL);
    removeFatalAction(putTerminalBackOnSignal);
}

// ---- Keyboard and waits.

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

struct Looked {
    bool done = false;      // the poll ran
    bool input = false;     // the keyboard or a watched descriptor was ready
    bool writable = false;  // the terminal takes output again
};

// One poll of the keyboard and, with the port, the watched descriptors but
// `leftOut`, and with `writing` of the terminal taking output; keys that
// came are read at once so that each carries its own arrival time.
Looked pollOnce(double timeoutSeconds, bool withPort, bool writing, int leftOut = -1) {
    lookedInWait = false;
    Looked looked;
    if (timeoutSeconds <= 0 && withPort && checkThroughSet()) {
        looked.done = true;
        return looked;
    }
    std::vector<pollfd> fds;
    if (!inputEnded) fds.push_back({keyboardFd, POLLIN, 0});
    const std::size_t first = fds.size();
    if (withPort)
        for (int fd : watched)
            if (fd != leftOut) fds.push_back({fd, POLLIN, 0});
    const std::size_t inputs = fds.size();
    if (writing) fds.push_back({outputFd, POLLOUT, 0});
    looked.done = true;
    timeoutSeconds = std::max(0.0, timeoutSeconds);
    if (fds.empty() && timeoutSeconds <= 0) return looked;
    // To the microsecond: a wait that ends where a quiet port is watched
    // again must not end a millisecond late.
    const auto whole = static_cast<time_t>(timeoutSeconds);
    const timespec span{whole, static_cast<long>((timeoutSeconds - static_cast<double>(whole)) * 1e9)};
    const int ready = ppoll(fds.data(), fds.size(), &span, nullptr);
    if (ready < 0) {
        seen.clear();
        looked.done = false;
        return looked;
    }
    seen.clear();
    for (std::size_t i = first; i < inputs; ++i) seen.push_back({fds[i].fd, fds[i].revents != 0});
    for (std::size_t i = 0; i < inputs; ++i) looked.input = looked.input || fds[i].revents != 0;
    looked.writable = writing && fds[inputs].revents != 0;
    if (first == 1 && fds[0].revents != 0) {
        if (fds[0].revents & POLLNVAL)
            endKeyboard();
        else
            readKeyboardOnce();
    }
    return looked;
}

// Blocks until the keyboard (and with the port, a watched descriptor) has
// input or timeout milliseconds have passed. The screen is brought up to
// date first: the operator sees everything printed before any wait. When
// the terminal did not take it all, the rest goes out during the wait, as
// the terminal reads, and the screen catches up to the grid.
void waitOn(int timeout, bool withPort) {
    attendToTerminal();
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
    const double until = clockMonotonicSeconds() + timeoutSeconds;
    bool writing = outputWaiting();
    for (;;) {
        const Looked looked = pollOnce(timeoutSeconds, withPort, writing && timeoutSeconds > 0, leftOut);
        lookedInWait = looked.done && withPort && leftOut < 0;
        attendToTerminal();
        if (!looked.done || looked.input || !looked.writable) return;
        // Only the terminal woke the wait: it reads again.
        const std::size_t before = out.size();
        flush();
        writing = outputWaiting() && out.size() != before;  // no progress: wait for input alone
        timeoutSeconds = until - clockMonotonicSeconds();
        if (timeoutSeconds <= 0) return;
    }
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
    screenGone = false;
    screenFd = isatty(STDOUT_FILENO) ? STDOUT_FILENO : (isatty(STDERR_FILENO) ? STDERR_FILENO : -1);
    openOutput();
    decoder = KeyDecoder{};
    decoder.terminal = isatty(keyboardFd) != 0;
    inputEnded = false;
    dropCheckSet();
    modesSaved = isatty(keyboardFd) && tcgetattr(keyboardFd, &savedModes) == 0;
    applyRawModes();
    stopSignal = 0;
    continued = 0;
    terminalResized = 0;
    terminalSize(terminalColumns, terminalRows);
    // The grid before the program sizes it, on a terminal just cleared.
    gridColumns = 80;
    gridRows = 25;
    grid.assign(static_cast<std::size_t>(gridColumns * gridRows), Cell{});
    rowChanged.assign(static_cast<std::size_t>(gridRows), 0);
    gridScrolls = 0;
    cursorRow = cursorColumn = 1;
    cursorVisible = cursorShown = true;
    title.clear();
    titleChanged = bellDue = false;
    viewTop = viewLeft = 0;
    viewRows = std::min(terminalRows, gridRows);
    viewColumns = std::min(terminalColumns, gridColumns);
    shown.assign(static_cast<std::size_t>(viewRows) * static_cast<std::size_t>(viewColumns), Shown{Cell{}, true});
    redrawAll = false;
    prepareSignalRestore();
    signalOutputFd = outputFd;
    installHandlers();
    // Save the title, start from a clean terminal.
    out = "\x1b[22;0t\x1b[0m\x1b[2J\x1b[H";
    lastAttribute = -1;
    terminalRow = terminalColumn = 1;
    flush();
}

void consoleSeamRestore(EndKind kind) {
    if (restored) return;
    restored = true;
    removeHandlers();
    if (screenFd >= 0 && !screenGone && ownsTerminal()) {
        const double until = clockMonotonicSeconds() + restoreBound;
        if (kind != EndKind::closing) {
            // The last screen as the program left it.
            writeUntil(until);
            if (out.empty()) compose();
        }
        putScreenBack(kind == EndKind::closing, until);
    }
    out.clear();
    if (ownsTerminal()) putModesBack();
    rawApplied = 0;
    closeOutput();
}

bool consoleSeamResize(int& columns, int& rows) {
    // Any size: the terminal shows what fits of it.
    gridColumns = columns;
    gridRows = rows;
    grid.assign(static_cast<std::size_t>(columns) * static_cast<std::size_t>(rows), Cell{});
    rowChanged.assign(static_cast<std::size_t>(rows), 1);
    gridScrolls = 0;
    cursorRow = std::min(cursorRow, rows);
    cursorColumn = std::min(cursorColumn, columns);
    return true;
}

void consoleSeamDrawCells(int row, int column, const Cell* cells, int count) {
    if (row < 1 || row > gridRows || column < 1) return;
    count = std::min(count, gridColumns - column + 1);
    if (count <= 0) return;
    std::copy(cells, cells + count, grid.begin() + (row - 1) * gridColumns + (column - 1));
    rowChanged[static_cast<std::size_t>(row - 1)] = 1;
}

void consoleSeamDrawAll(const std::vector<Cell>& cells, int columns, int rows) {
    if (columns != gridColumns || rows != gridRows) consoleSeamResize(columns, rows);
    grid = cells;
    std::fill(rowChanged.begin(), rowChanged.end(), 1);
    gridScrolls = 0;  // nothing of the old picture stays
}

void consoleSeamScrollUp(const std::vector<Cell>& cells, int columns, int rows) {
    if (columns != gridColumns || rows != gridRows) {
        consoleSeamDrawAll(cells, columns, rows);
        return;
    }
    grid = cells;
    if (gridScrolls < gridRows) ++gridScrolls;
}

void consoleSeamPlaceCursor(int row, int column, bool visible) {
    cursorRow = std::clamp(row, 1, gridRows);
    cursorColumn = std::clamp(column, 1, gridColumns);
    cursorVisible = visible;
}

void consoleSeamSetTitle(const std::string& text) {
    title = text;
    titleChanged = true;
    flush();
}

void consoleSeamBeep() {
    bellDue = true;
    flush();
}

std::string consoleSeamPollKey() {
    attendToTerminal();
    // The port is looked at in the same call: the upload's status query
    // that follows needs no call of its own. A wait that has just looked at
    // both is this check.
    if (lookedInWait)
        lookedInWait = false;
    else
        pollOnce(0, true, false);
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
