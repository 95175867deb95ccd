// The console on Windows: the console API's cell buffer and input events.
//
// The screen handle is standard output when it is a console, else standard
// error; cells are written in blocks with WriteConsoleOutputA, so every
// byte shows as its code page glyph and nothing is interpreted. Keys are
// read as input events from "CONIN$" with the input mode at 0: no line
// editing, no echo, Ctrl+C an ordinary key. Events are moved into a queue
// of key strings as soon as they are seen, so a key nobody asks for yet
// cannot keep the input handle signalled while the program waits.
#include <windows.h>

#include <algorithm>
#include <climits>
#include <deque>
#include <string>
#include <vector>

#include "platform/console/activity_windows.h"
#include "platform/console/console_seam.h"
#include "platform/console/key_event.h"

static_assert(consoleKey::rightAlt == RIGHT_ALT_PRESSED && consoleKey::leftAlt == LEFT_ALT_PRESSED &&
              consoleKey::rightCtrl == RIGHT_CTRL_PRESSED && consoleKey::leftCtrl == LEFT_CTRL_PRESSED &&
              consoleKey::shift == SHIFT_PRESSED && consoleKey::capsLockOn == CAPSLOCK_ON &&
              consoleKey::enhancedKey == ENHANCED_KEY && consoleKey::virtualAlt == VK_MENU &&
              consoleKey::virtualEscape == VK_ESCAPE);

namespace {

constexpr DWORD portOpenWaitCap = 1;  // milliseconds, see waitForActivity
constexpr DWORD processedOutputAndWrap = ENABLE_PROCESSED_OUTPUT | ENABLE_WRAP_AT_EOL_OUTPUT;

struct SavedMode {
    HANDLE handle = INVALID_HANDLE_VALUE;
    DWORD mode = 0;
    bool saved = false;
};

HANDLE screen = INVALID_HANDLE_VALUE;
bool screenIsConsole = false;
HANDLE keyboard = INVALID_HANDLE_VALUE;
SavedMode inputMode;
SavedMode screenMode;
CONSOLE_CURSOR_INFO cursorShape{10, TRUE};
bool cursorShown = true;
bool restored = false;
std::deque<std::string> keys;
HWND consoleWindow = nullptr;
bool windowSearched = false;
int openPorts = 0;
UINT savedOutputCodePage = 0;  // 0: left as it was
UINT savedInputCodePage = 0;
constexpr UINT cellCodePage = 437;

bool isConsole(HANDLE handle) {
    DWORD mode = 0;
    return handle != INVALID_HANDLE_VALUE && handle != nullptr && GetConsoleMode(handle, &mode);
}

// Ctrl+C comes as a key (input mode 0); Ctrl+Break must not end the run
// early either. Closing the window, log-off and shut-down end the process
// whatever a handler answers: they are passed on, so that every handler
// (the serial port's puts the port back) runs before the end.
BOOL WINAPI onControlEvent(DWORD event) { return event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT; }

void saveAndSet(SavedMode& saved, HANDLE handle, DWORD mode) {
    if (!saved.saved && GetConsoleMode(handle, &saved.mode)) {
        saved.handle = handle;
        saved.saved = true;
    }
    SetConsoleMode(handle, mode);
}

void restoreMode(SavedMode& saved) {
    if (saved.saved) SetConsoleMode(saved.handle, saved.mode);
    saved.saved = false;
}

void readCursorShape() {
    CONSOLE_CURSOR_INFO info{};
    if ((GetConsoleCursorInfo(screen, &info) && info.dwSize != 0) ||
        (GetConsoleCursorInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info) && info.dwSize != 0)) {
        cursorShape = info;
    } else {
        cursorShape = CONSOLE_CURSOR_INFO{10, TRUE};
    }
    cursorShape.bVisible = TRUE;
    SetConsoleCursorInfo(screen, &cursorShape);
    cursorShown = true;
}

// The key's own character with neither Shift nor Caps Lock, in the input
// code page; 0 for a dead key or one the code page cannot show.
std::uint8_t unshiftedCharacter(WORD virtualKey) {
    const UINT mapped = MapVirtualKeyW(virtualKey, MAPVK_VK_TO_CHAR);
    if (mapped == 0 || (mapped & 0x80000000u)) return 0;
    const wchar_t wide = static_cast<wchar_t>(mapped & 0xFFFF);
    char narrow = 0;
    BOOL lossy = FALSE;
    if (WideCharToMultiByte(GetConsoleCP(), 0, &wide, 1, &narrow, 1, nullptr, &lossy) != 1 || lossy) return 0;
    return static_cast<std::uint8_t>(narrow);
}

void queueKeyEvent(const KEY_EVENT_RECORD& record) {
    KeyEventFields fields;
    fields.keyDown = record.bKeyDown != FALSE;
    fields.virtualKey = record.wVirtualKeyCode;
    fields.scanCode = record.wVirtualScanCode;
    fields.character = static_cast<std::uint8_t>(record.uChar.AsciiChar);
    fields.controlKeys = record.dwControlKeyState;
    if (record.dwControlKeyState & CAPSLOCK_ON) fields.unshifted = unshiftedCharacter(record.wVirtualKeyCode);
    const std::string key = decodeKeyEvent(fields);
    if (key.empty()) return;
    // A held key may come as one event with a repeat count.
    const int repeats = std::clamp<int>(record.wRepeatCount, 1, 64);
    for (int i = 0; i < repeats; ++i) keys.push_back(key);
}

// Cells are code page 437 bytes, and typed characters are read as such,
// whatever code page the console had (850 on many European systems).
void useCellCodePage() {
    savedOutputCodePage = 0;
    savedInputCodePage = 0;
    const UINT output = GetConsoleOutputCP();
    if (output != 0 && output != cellCodePage && SetConsoleOutputCP(cellCodePage)) savedOutputCodePage = output;
    const UINT input = GetConsoleCP();
    if (input != 0 && input != cellCodePage && SetConsoleCP(cellCodePage)) savedInputCodePage = input;
}

void restoreCodePages() {
    if (savedOutputCodePage != 0) SetConsoleOutputCP(savedOutputCodePage);
    if (savedInputCodePage != 0) SetConsoleCP(savedInputCodePage);
    savedOutputCodePage = 0;
    savedInputCodePage = 0;
}

void closeKeyboard() {
    if (keyboard != INVALID_HANDLE_VALUE) CloseHandle(keyboard);
    keyboard = INVALID_HANDLE_VALUE;
}

// Moves every waiting input event into the key queue without blocking.
void readKeyboard() {
    while (keyboard != INVALID_HANDLE_VALUE) {
        DWORD waiting = 0;
        if (!GetNumberOfConsoleInputEvents(keyboard, &waiting)) {
            closeKeyboard();  // the console has gone: no key can come any more
            return;
        }
        if (waiting == 0) return;
        INPUT_RECORD records[64];
        DWORD got = 0;
        if (!ReadConsoleInputA(keyboard, records, std::min<DWORD>(waiting, 64), &got) || got == 0) return;
        for (DWORD i = 0; i < got; ++i)
            if (records[i].EventType == KEY_EVENT) queueKeyEvent(records[i].Event.KeyEvent);
    }
}

// The console's window, found once per run. GetConsoleWindow answers at
// once; the title search is for consoles that do not know their window.
HWND findConsoleWindow() {
    if (windowSearched) return consoleWindow;
    windowSearched = true;
    consoleWindow = GetConsoleWindow();
    if (consoleWindow) return consoleWindow;
    char title[233] = {};
    const DWORD length = GetConsoleTitleA(title, sizeof title);
    const std::string marked = std::string(title, std::min<DWORD>(length, 232)) + std::string(13, ' ');
    if (SetConsoleTitleA(marked.c_str())) {
        Sleep(200);
        consoleWindow = FindWindowA(nullptr, marked.c_str());
        SetConsoleTitleA(title);
    }
    return consoleWindow;
}

// One buffer-size change, with the window kept where and as large as it was
// and not redrawn meanwhile. A console without a window (a pseudo console,
// Wine on a terminal) changes its buffer all the same.
bool changeBufferSize(int columns, int rows) {
    HWND window = findConsoleWindow();
    RECT outer{};
    const bool haveWindow = window && GetWindowRect(window, &outer);
    if (haveWindow) LockWindowUpdate(window);
    const BOOL changed =
        SetConsoleScreenBufferSize(screen, COORD{static_cast<SHORT>(columns), static_cast<SHORT>(rows)});
    if (haveWindow) {
        SetWindowPos(window, nullptr, outer.left, outer.top, outer.right - outer.left, outer.bottom - outer.top,
                     SWP_NOZORDER | SWP_NOACTIVATE);
        LockWindowUpdate(nullptr);
    }
    return changed != FALSE;
}

void writeBlock(const Cell* cells, int top, int left, int width, int height) {
    std::vector<CHAR_INFO> block(static_cast<std::size_t>(width) * static_cast<std::size_t>(height));
    for (std::size_t i = 0; i < block.size(); ++i) {
        block[i].Char.AsciiChar = static_cast<CHAR>(cells[i].ch);
        block[i].Attributes = cells[i].attr;
    }
    SMALL_RECT region{static_cast<SHORT>(left), static_cast<SHORT>(top), static_cast<SHORT>(left + width - 1),
                      static_cast<SHORT>(top + height - 1)};
    WriteConsoleOutputA(screen, block.data(), COORD{static_cast<SHORT>(width), static_cast<SHORT>(height)},
                        COORD{0, 0}, &region);
}

}  // namespace

void serialPortOpened() {
    // Millisecond wake-ups need the system timer at millisecond resolution.
    if (openPorts++ == 0) timeBeginPeriod(1);
}

void serialPortClosed() {
    if (openPorts > 0 && --openPorts == 0) timeEndPeriod(1);
}

void consoleSeamOpen() {
    restored = false;
    keys.clear();
    const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    screen = isConsole(output) ? output : GetStdHandle(STD_ERROR_HANDLE);
    screenIsConsole = isConsole(screen);
    keyboard = CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    if (keyboard != INVALID_HANDLE_VALUE && !isConsole(keyboard)) closeKeyboard();
    if (screenIsConsole) saveAndSet(screenMode, screen, processedOutputAndWrap);
    const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    if (isConsole(input)) saveAndSet(inputMode, input, 0);
    else if (keyboard != INVALID_HANDLE_VALUE) saveAndSet(inputMode, keyboard, 0);
    if (keyboard != INVALID_HANDLE_VALUE) SetConsoleMode(keyboard, 0);
    SetConsoleCtrlHandler(onControlEvent, TRUE);
    useCellCodePage();
    readCursorShape();
}

void consoleSeamRestore(EndKind) {
    if (restored) return;
    restored = true;
    restoreMode(inputMode);
    restoreMode(screenMode);
    restoreCodePages();
    cursorShape.bVisible = TRUE;
    SetConsoleCursorInfo(screen, &cursorShape);
    closeKeyboard();
}

bool consoleSeamResize(int& columns, int& rows) {
    if (!screenIsConsole) return true;  // output is lost anyway: nothing refuses
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (!GetConsoleScreenBufferInfo(screen, &info)) return false;  // the grid stays as it is
    const int oldColumns = info.dwSize.X;
    const int oldRows = info.dwSize.Y;
    // A buffer cannot be smaller than its window: grow first, then shrink
    // the window, then the buffer.
    if (columns > SHRT_MAX || rows > SHRT_MAX ||
        !changeBufferSize(std::max(columns, oldColumns), std::max(rows, oldRows))) {
        changeBufferSize(oldColumns, oldRows);
        columns = std::max(1, oldColumns);
        rows = std::max(1, oldRows);
        return false;
    }
    SMALL_RECT window{0, 0, static_cast<SHORT>(columns - 1), static_cast<SHORT>(rows - 1)};
    SetConsoleWindowInfo(screen, TRUE, &window);
    changeBufferSize(columns, rows);
    return true;
}

void consoleSeamDrawCells(int row, int column, const Cell* cells, int count) {
    if (screenIsConsole && count > 0) writeBlock(cells, row - 1, column - 1, count, 1);
}

void consoleSeamDrawAll(const std::vector<Cell>& grid, int columns, int rows) {
    if (!screenIsConsole || grid.empty()) return;
    // The blanks of clearing and scrolling carry the current colours; the
    // console's own colours follow, so whatever prints after the program
    // continues in them, and a buffer larger than the grid (a size the
    // console refused to shrink to) is blank around it.
    const WORD attribute = grid.back().attr;
    SetConsoleTextAttribute(screen, attribute);
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (GetConsoleScreenBufferInfo(screen, &info) && (info.dwSize.X > columns || info.dwSize.Y > rows)) {
        const DWORD cells = static_cast<DWORD>(info.dwSize.X) * static_cast<DWORD>(info.dwSize.Y);
        DWORD done = 0;
        FillConsoleOutputCharacterA(screen, ' ', cells, COORD{0, 0}, &done);
        FillConsoleOutputAttribute(screen, attribute, cells, COORD{0, 0}, &done);
    }
    // Blocks stay well below the 64 KB a single write may carry.
    const int bandRows = std::max(1, 8000 / columns);
    for (int top = 0; top < rows; top += bandRows) {
        const int height = std::min(bandRows, rows - top);
        writeBlock(&grid[static_cast<std::size_t>(top) * static_cast<std::size_t>(columns)], top, 0, columns,
                   height);
    }
}

void consoleSeamScrollUp(const std::vector<Cell>& grid, int columns, int rows) {
    consoleSeamDrawAll(grid, columns, rows);
}

void consoleSeamPlaceCursor(int row, int column, bool visible) {
    if (!screenIsConsole) return;
    if (visible != cursorShown) {
        cursorShown = visible;
        cursorShape.bVisible = visible ? TRUE : FALSE;
        SetConsoleCursorInfo(screen, &cursorShape);
    }
    SetConsoleCursorPosition(screen, COORD{static_cast<SHORT>(column - 1), static_cast<SHORT>(row - 1)});
}

void consoleSeamSetTitle(const std::string& title) { SetConsoleTitleA(title.c_str()); }

void consoleSeamBeep() { MessageBeep(0); }

std::string consoleSeamPollKey() {
    readKeyboard();
    if (keys.empty()) return {};
    std::string key = std::move(keys.front());
    keys.pop_front();
    return key;
}

bool consoleSeamKeyboardEnded() { return keyboard == INVALID_HANDLE_VALUE && keys.empty(); }

// The console queues key events by itself meanwhile.
void consoleSeamPause(int milliseconds) { Sleep(static_cast<DWORD>(milliseconds)); }

// Blocks on the console input handle: any input event ends the wait. While
// a serial port is open the bound is capped, because bytes arriving on the
// port cannot wake this wait.
namespace {

void waitOn(int maxMilliseconds, bool withPort) {
    readKeyboard();
    DWORD bound = static_cast<DWORD>(std::max(0, maxMilliseconds));
    if (withPort && openPorts > 0) bound = std::min(bound, portOpenWaitCap);
    if (keyboard != INVALID_HANDLE_VALUE)
        WaitForSingleObject(keyboard, bound);
    else
        Sleep(bound);
}

}  // namespace

void waitForActivity(int maxMilliseconds) { waitOn(maxMilliseconds, true); }

void waitForKey(int maxMilliseconds) { waitOn(maxMilliseconds, false); }
