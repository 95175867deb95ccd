// In-memory console: a mirror of every cell the console hands to its seam,
// and a scripted keyboard whose keys arrive at given virtual times.
#pragma once

#include <string>
#include <vector>

#include "platform/console/console_seam.h"

namespace fake {

void resetConsole();

// Keys become available at the given virtual time (default: now).
void pressKey(const std::string& key, double at = -1);
// Each byte of text as one key.
void typeText(const std::string& text, double at = -1);
// After the queued keys no more will come (standard input closed).
void endKeyboard();
std::size_t keysLeft();

// Thrown by a wait for a key when none is queued and the keyboard is still
// open, once asked for: the operator has walked away, and a program that
// waits for one is rightly waiting for ever.
struct OperatorLeft {};
void leaveWhenKeysRunOut(bool leave);

// The last size request is refused when set.
void refuseResize(bool refuse);
// A console that cannot show more than that: larger requests are refused
// and get what fits.
void limitScreenSize(int columns, int rows);

Cell mirrorCell(int row, int column);
std::string mirrorRowText(int row);
int mirrorRows();
int mirrorColumns();
int mirrorCursorRow();
int mirrorCursorColumn();
// The mirror's rows as they stand when the program next waits or sleeps
// (for screens that a run clears again before it ends); with a text, at
// the first wait or sleep while some row shows that text.
void captureAtNextWait(const std::string& whenShown = "");
std::string capturedRow(int row);

std::string title();
int beeps();
bool restoredAs(EndKind kind);
bool restored();

}  // namespace fake
