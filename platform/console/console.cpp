#include "platform/console/console.h"

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "platform/console/clock_seam.h"

namespace {

int columns = 80;
int rows = 25;
std::vector<Cell> grid(80 * 25);
int row = 1;
int column = 1;
bool wrapPending = false;
int foreground = 7;
int background = 0;
bool cursorVisible = true;
double monotonicAtStart = 0;
double localAtStart = 0;
bool clockStarted = false;

std::uint8_t attribute() { return static_cast<std::uint8_t>(background * 16 + foreground); }

Cell& cellAt(int r, int c) { return grid[static_cast<std::size_t>((r - 1) * columns + (c - 1))]; }

void showCursor() { consoleSeamPlaceCursor(row, column, cursorVisible); }

void fillGrid() {
    std::fill(grid.begin(), grid.end(), Cell{' ', attribute()});
    consoleSeamDrawAll(grid, columns, rows);
}

// The top row is lost; the new bottom row is blank in the current colours.
void scrollUp() {
    std::move(grid.begin() + columns, grid.end(), grid.begin());
    std::fill(grid.end() - columns, grid.end(), Cell{' ', attribute()});
    consoleSeamScrollUp(grid, columns, rows);
}

// One cell back: from column 1 to the end of the row above; with a pending
// wrap, to the last cell of the last row.
void stepBack() {
    if (wrapPending) {
        wrapPending = false;
        row = rows;
        column = columns;
    } else if (column > 1) {
        --column;
    } else if (row > 1) {
        --row;
        column = columns;
    }
}

void startClock() {
    if (clockStarted) return;
    clockStarted = true;
    monotonicAtStart = clockMonotonicSeconds();
    localAtStart = clockLocalSecondsAtStart();
}

}  // namespace

void prepareConsole() {
    consoleSeamOpen();
    clockStarted = false;
    startClock();
    foreground = 7;
    background = 0;
    wrapPending = false;
    cursorVisible = true;
    columns = 80;
    rows = 25;
    grid.assign(static_cast<std::size_t>(columns * rows), Cell{});
    row = 1;
    column = 1;
}

void restoreConsole(EndKind kind) { consoleSeamRestore(kind); }

void setTitle(const Text& title) { consoleSeamSetTitle(title); }

void setColors(int newForeground, int newBackground) {
    if (newForeground >= 0 && newForeground <= 15) foreground = newForeground;
    if (newBackground >= 0 && newBackground <= 15) background = newBackground;
}

void clearScreen() {
    consoleSeamPlaceCursor(row, column, false);
    fillGrid();
    row = 1;
    column = 1;
    wrapPending = false;
    cursorVisible = true;
    showCursor();
}

void setScreenSize(int newColumns, int newRows) {
    bool refused = newColumns < 1 || newRows < 1 || newColumns > 65535 || newRows > 65535;
    if (!refused) {
        // A refused size leaves the size the target shows, as a refused
        // resize leaves a console at its real size.
        refused = !consoleSeamResize(newColumns, newRows);
        columns = std::max(1, newColumns);
        rows = std::max(1, newRows);
        grid.assign(static_cast<std::size_t>(columns) * static_cast<std::size_t>(rows), Cell{});
    }
    // Every size change, the refused one included, leaves a cleared screen.
    clearScreen();
    if (refused) raiseError(5);
}

void moveCursor(int newRow, int newColumn) {
    if (newColumn >= 1 && newColumn <= columns) column = newColumn;
    if (newRow >= 1 && newRow <= rows) row = newRow;
    wrapPending = false;
    showCursor();
}

int cursorRow() { return row; }
int cursorColumn() { return column; }

void printText(const Text& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        if (wrapPending) {
            wrapPending = false;
            scrollUp();
        }
        const int room = columns - column + 1;
        const int count = static_cast<int>(std::min<std::size_t>(room, text.size() - done));
        for (int i = 0; i < count; ++i) {
            cellAt(row, column + i) = Cell{static_cast<std::uint8_t>(text[done + i]), attribute()};
        }
        consoleSeamDrawCells(row, column, &cellAt(row, column), count);
        done += static_cast<std::size_t>(count);
        column += count;
        if (column > columns) {
            column = 1;
            if (row < rows)
                ++row;
            else
                wrapPending = true;
        }
    }
    if (!text.empty()) showCursor();
}

void newLine() {
    if (row == rows) {
        scrollUp();
        if (wrapPending) scrollUp();
    } else {
        ++row;
    }
    column = 1;
    wrapPending = false;
    showCursor();
}

void printNumber(std::int64_t number) {
    Text text = number < 0 ? "-" : " ";
    // Magnitude as unsigned so the most negative value prints correctly.
    const std::uint64_t magnitude =
        number < 0 ? 0 - static_cast<std::uint64_t>(number) : static_cast<std::uint64_t>(number);
    text += std::to_string(magnitude);
    text += ' ';
    printText(text);
}

void padToColumn(int target) {
    if (target < 1) return;
    // A target beyond the right edge counts from the next row, as tabbing does;
    // taken literally it could never be reached.
    target = (target - 1) % columns + 1;
    if (column > target) newLine();
    if (column < target) printText(Text(static_cast<std::size_t>(target - column), ' '));
}

Text pollKey() { return consoleSeamPollKey(); }

bool keyboardEnded() { return consoleSeamKeyboardEnded(); }

Text waitKey() {
    for (;;) {
        Text key = pollKey();
        if (!key.empty()) return key;
        // With no keyboard left, Esc is the one key that ends every wait of
        // the program instead of looping on nothing.
        if (consoleSeamKeyboardEnded()) return Text(1, '\x1b');
        waitForKey(500);
    }
}

Text readKeyboardLine() {
    Text held;
    for (;;) {
        Text key = pollKey();
        if (key.empty()) {
            if (consoleSeamKeyboardEnded()) {
                newLine();
                return held;
            }
            waitForKey(500);
            continue;
        }
        if (key.size() != 1) continue;
        const auto code = static_cast<unsigned char>(key[0]);
        if (code == 13) {
            newLine();
            return held;
        }
        if (code == 8) {
            if (held.empty()) continue;
            held.pop_back();
            stepBack();
            printText(" ");
            stepBack();
            showCursor();
            continue;
        }
        if (code < 32) continue;
        if (held.size() >= static_cast<std::size_t>(keyboardLineLimit)) continue;
        held += key;
        printText(key);
    }
}

void beep() { consoleSeamBeep(); }

void pause(int milliseconds) {
    if (milliseconds > 0) consoleSeamPause(milliseconds);
}

double timeOfDay() {
    startClock();
    return localAtStart + (clockMonotonicSeconds() - monotonicAtStart);
}

double startInstant() { return std::nearbyint(timeOfDay()); }

double secondsSince(double start) { return timeOfDay() - start; }

int screenColumns() { return columns; }
int screenRows() { return rows; }
Cell screenCell(int r, int c) { return cellAt(r, c); }

Text screenRowText(int r) {
    Text text;
    for (int c = 1; c <= columns; ++c) text += static_cast<char>(cellAt(r, c).ch);
    return text;
}

bool pendingWrap() { return wrapPending; }
int currentAttribute() { return attribute(); }
