// Screen and keyboard primitives under the portable console.
//
// The portable console (console.h) owns the authoritative cell grid, the
// cursor and the colours. After every change it hands the changed cells to
// this seam: a row segment, the whole grid after clearing and resizing, or
// the grid after a scroll. A target only has to show cells and report keys:
//   - a terminal shows the grid, or as much of it as fits, with ANSI
//     sequences,
//   - the Windows console writes cell blocks,
//   - the test double keeps a mirror grid for the tests to read.
// Keys come as key strings: one character, or NUL and a PC scan code.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "runtime/errors.h"

struct Cell {
    std::uint8_t ch = ' ';   // code page 437 byte
    std::uint8_t attr = 7;   // background * 16 + foreground
    bool operator==(const Cell&) const = default;
};

// Raw keyboard, title saved, screen ready. Called once before the program's
// first statement.
void consoleSeamOpen();

// Undoes consoleSeamOpen for the way the run ended. Safe to call twice.
void consoleSeamRestore(EndKind kind);

// Asks the target for a columns x rows grid. False means the size is
// refused (the caller raises error 5); columns and rows then hold the size
// the target shows instead, which the grid takes.
bool consoleSeamResize(int& columns, int& rows);

// Shows count cells of row (1-based) from column (1-based).
void consoleSeamDrawCells(int row, int column, const Cell* cells, int count);

// Shows the whole grid, rows of `columns` cells from the top-left.
void consoleSeamDrawAll(const std::vector<Cell>& grid, int columns, int rows);

// The grid has moved up one row: its top row is gone and its bottom row is
// new. `grid` is the result, as for consoleSeamDrawAll; a target that can
// scroll its own screen need only send the new row.
void consoleSeamScrollUp(const std::vector<Cell>& grid, int columns, int rows);

// Places the cursor (1-based); the end of every console operation.
void consoleSeamPlaceCursor(int row, int column, bool visible);

void consoleSeamSetTitle(const std::string& title);
void consoleSeamBeep();

// The next key string, or empty when none is ready. Never waits.
std::string consoleSeamPollKey();

// True once no key can ever arrive again (standard input closed) and none
// is left to read.
bool consoleSeamKeyboardEnded();

// Suspends the program. Keys typed meanwhile are queued with the time they
// arrived, as the console queues its events, and none is taken out.
void consoleSeamPause(int milliseconds);

// Blocks until a key or another watched input (the serial port) may be
// ready, or at most maxMilliseconds have passed. Never spins: a key that is
// queued and not read does not end the wait.
void waitForActivity(int maxMilliseconds);

// The same for the keyboard alone: waits for a key must not wake for bytes
// that sit in the port's queue unread meanwhile.
void waitForKey(int maxMilliseconds);
