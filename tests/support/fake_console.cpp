#include "support/fake_console.h"

#include <algorithm>
#include <deque>
#include <optional>

#include "platform/console/clock_seam.h"
#include "support/fake_clock.h"

namespace {

struct TimedKey {
    double at;
    std::string key;
};

std::deque<TimedKey> keys;
bool keyboardClosed = false;
bool operatorLeaves = false;
bool refuse = false;
int terminalColumns = 0;  // 0: any size fits
int terminalRows = 0;
int columns = 80;
int rows = 25;
std::vector<Cell> mirror(80 * 25);
int cursorRowSeen = 1;
int cursorColumnSeen = 1;
std::string titleSeen;
int beepCount = 0;
std::optional<EndKind> restoreKind;
bool captureArmed = false;
std::string captureTrigger;
std::vector<std::string> captured;

void captureIfArmed() {
    if (!captureArmed) return;
    std::vector<std::string> now;
    bool shown = captureTrigger.empty();
    for (int r = 1; r <= rows; ++r) {
        now.push_back(fake::mirrorRowText(r));
        shown = shown || now.back().find(captureTrigger) != std::string::npos;
    }
    if (!shown) return;
    captureArmed = false;
    captured = std::move(now);
}

}  // namespace

namespace fake {

void resetConsole() {
    keys.clear();
    keyboardClosed = false;
    operatorLeaves = false;
    refuse = false;
    terminalColumns = terminalRows = 0;
    columns = 80;
    rows = 25;
    mirror.assign(80 * 25, Cell{});
    cursorRowSeen = cursorColumnSeen = 1;
    titleSeen.clear();
    beepCount = 0;
    restoreKind.reset();
    captureArmed = false;
    captured.clear();
    addWakeSource([] { return keys.empty() ? -1.0 : keys.front().at; });
    setSleepHook(captureIfArmed);
}

void pressKey(const std::string& key, double at) { keys.push_back({at < 0 ? now() : at, key}); }

void typeText(const std::string& text, double at) {
    for (char c : text) pressKey(std::string(1, c), at);
}

void endKeyboard() { keyboardClosed = true; }
std::size_t keysLeft() { return keys.size(); }
void leaveWhenKeysRunOut(bool leave) { operatorLeaves = leave; }
void refuseResize(bool value) { refuse = value; }

void limitScreenSize(int newColumns, int newRows) {
    terminalColumns = newColumns;
    terminalRows = newRows;
}

Cell mirrorCell(int row, int column) { return mirror[static_cast<std::size_t>((row - 1) * columns + column - 1)]; }

std::string mirrorRowText(int row) {
    std::string text;
    for (int c = 1; c <= columns; ++c) text += static_cast<char>(mirrorCell(row, c).ch);
    return text;
}

int mirrorRows() { return rows; }
int mirrorColumns() { return columns; }
int mirrorCursorRow() { return cursorRowSeen; }
int mirrorCursorColumn() { return cursorColumnSeen; }
void captureAtNextWait(const std::string& whenShown) {
    captureArmed = true;
    captureTrigger = whenShown;
}

std::string capturedRow(int row) {
    if (row < 1 || row > static_cast<int>(captured.size())) return "(nothing captured)";
    std::string text = captured[static_cast<std::size_t>(row - 1)];
    text.erase(text.find_last_not_of(' ') + 1);
    return text;
}

std::string title() { return titleSeen; }
int beeps() { return beepCount; }
bool restored() { return restoreKind.has_value(); }
bool restoredAs(EndKind kind) { return restoreKind == kind; }

}  // namespace fake

void consoleSeamOpen() {}
void consoleSeamRestore(EndKind kind) {
    if (!restoreKind) restoreKind = kind;
}

bool consoleSeamResize(int& newColumns, int& newRows) {
    bool granted = !refuse;
    if (refuse) {
        newColumns = columns;
        newRows = rows;
    } else if (terminalColumns > 0 && (newColumns > terminalColumns || newRows > terminalRows)) {
        newColumns = std::min(newColumns, terminalColumns);
        newRows = std::min(newRows, terminalRows);
        granted = false;
    }
    columns = newColumns;
    rows = newRows;
    mirror.assign(static_cast<std::size_t>(columns * rows), Cell{});
    return granted;
}

void consoleSeamDrawCells(int row, int column, const Cell* cells, int count) {
    for (int i = 0; i < count; ++i) mirror[static_cast<std::size_t>((row - 1) * columns + column - 1 + i)] = cells[i];
}

void consoleSeamDrawAll(const std::vector<Cell>& grid, int gridColumns, int gridRows) {
    columns = gridColumns;
    rows = gridRows;
    mirror = grid;
}

void consoleSeamScrollUp(const std::vector<Cell>& grid, int gridColumns, int gridRows) {
    consoleSeamDrawAll(grid, gridColumns, gridRows);
}

void consoleSeamPlaceCursor(int row, int column, bool) {
    cursorRowSeen = row;
    cursorColumnSeen = column;
}

void consoleSeamSetTitle(const std::string& text) { titleSeen = text; }
void consoleSeamBeep() { ++beepCount; }

std::string consoleSeamPollKey() {
    if (keys.empty() || keys.front().at > fake::now()) return {};
    std::string key = keys.front().key;
    keys.pop_front();
    return key;
}

bool consoleSeamKeyboardEnded() { return keyboardClosed && keys.empty(); }

void consoleSeamPause(int milliseconds) { clockSleepMilliseconds(milliseconds); }

void waitForKey(int maxMilliseconds) {
    if (operatorLeaves && keys.empty() && !keyboardClosed) throw fake::OperatorLeft{};
    waitForActivity(maxMilliseconds);
}

void waitForActivity(int maxMilliseconds) {
    captureIfArmed();
    const double until = fake::wakeTime(maxMilliseconds / 1000.0);
    fake::advance(until - fake::now());
}
