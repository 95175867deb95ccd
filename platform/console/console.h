// The operator's console: a W x H grid of cells in colours, the cursor, and
// the keyboard read key by key.
//
// Output goes straight into the cells at the cursor, one cell per byte, in
// the current colours; no control character is interpreted. The grid here is
// the authoritative screen: every change is handed to the console seam,
// which shows it on the target (terminal, Windows console, test double).
// Apart from setScreenSize (error 5) nothing here reports an error.
#pragma once

#include <cstdint>

#include "runtime/program_state.h"
#include "platform/console/console_seam.h"

inline constexpr int keyboardLineLimit = 10000;

void prepareConsole();
void restoreConsole(EndKind kind);

void setTitle(const Text& title);
void setColors(int foreground, int background);
void setScreenSize(int columns, int rows);
void clearScreen();
void moveCursor(int row, int column);
int cursorRow();
int cursorColumn();
void printText(const Text& text);
void newLine();
void printNumber(std::int64_t number);
void padToColumn(int column);

Text pollKey();
Text waitKey();
Text readKeyboardLine();
// No key can come any more (standard input has ended) and none is queued.
bool keyboardEnded();
void beep();
void pause(int milliseconds);

// Local seconds since midnight: taken at start, then counted on a clock that
// never jumps, so it keeps counting across midnight.
double timeOfDay();

// A start instant: timeOfDay() to the whole second, halves to even.
double startInstant();
// Elapsed seconds since a start instant.
double secondsSince(double start);

// Read access for tests and the seams.
int screenColumns();
int screenRows();
Cell screenCell(int row, int column);
Text screenRowText(int row);
bool pendingWrap();
int currentAttribute();
