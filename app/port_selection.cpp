#include "app/port_selection.h"

#include <algorithm>
#include <cstdint>
#include <limits>

#include "ends/ends.h"
#include "platform/console/console.h"
#include "platform/files/files.h"
#include "platform/serial/serial_link.h"
#include "runtime/errors.h"
#include "runtime/numeric_value.h"

namespace {

// The memory file borrows the port's number for the moment it is open.
constexpr int memoryFileNumber = portFileNumber;
// A remembered number above this is not offered as the default.
constexpr int largestDefaultPort = 20;

constexpr int keyBackspace = 8;
constexpr int keyEnter = 13;
constexpr int keyEscape = 27;

// Rounded value of a text, held within int so that absurd texts stay
// absurd instead of wrapping round into the port range.
int roundedPort(const Text& text) {
    constexpr std::int64_t lowest = std::numeric_limits<int>::min();
    constexpr std::int64_t highest = std::numeric_limits<int>::max();
    return static_cast<int>(std::clamp(roundHalfEven(numericValue(text)), lowest, highest));
}

// Missing, locked or empty: no default and nothing to tell the operator.
void readRememberedPort() {
    installHandler(Handler::fileRead);
    try {
        withMemoryErrors([] {
            openTextFile(portMemoryFileName, memoryFileNumber);
            rememberedPortText = readTextLine(memoryFileNumber);
            closeFile(memoryFileNumber);
            portNumber = roundedPort(rememberedPortText);
            if (portNumber < 1 || portNumber > largestDefaultPort) rememberedPortText.clear();
        });
    } catch (const ErrorJump& jump) {
        if (jump.handler != Handler::fileRead) throw;
        rememberedPortText.clear();
        installHandler(Handler::none);
        closeFile(memoryFileNumber);
    }
    installHandler(Handler::none);
}

// The prompt and the operator's answer; true when a line was typed, so the
// typed text is what gets remembered.
bool askForPort() {
    printText("Which PC COM port (1-256, Esc key to end) [");
    printText(rememberedPortText);
    printText("]? ");
    readOperatorLine();
    commandText = operatorLine;
    if (operatorLine.empty()) return false;
    portNumber = roundedPort(operatorLine);
    return true;
}

void rememberPort(const Text& line) {
    createTextFile(portMemoryFileName, memoryFileNumber);
    writeTextLine(memoryFileNumber, line);
    closeFile(memoryFileNumber);
}

// Remembering the number is a convenience: a folder where "COMMPORT.NUM"
// cannot be written must never make a good port look bad, so its failures
// are dropped on every attempt. Only the probe decides.
bool tryPort(const Text& lineToRemember) {
    installHandler(Handler::none);
    rememberPort(lineToRemember);
    installHandler(Handler::probe);
    try {
        withMemoryErrors(probePort);
        return true;
    } catch (const ErrorJump& jump) {
        if (jump.handler != Handler::probe) throw;
        return false;
    }
}

void sayOnItsOwnLine(const Text& message) {
    printText(message);
    newLine();
}

// One cell back from the cursor: to the left, or to the end of the row
// above when the typed text has wrapped. After the bottom-right cell the
// cursor waits on that row with a wrap pending, so the cell is still there.
void stepBack() {
    if (pendingWrap())
        moveCursor(cursorRow(), screenColumns());
    else if (cursorColumn() > 1)
        moveCursor(cursorRow(), cursorColumn() - 1);
    else if (cursorRow() > 1)
        moveCursor(cursorRow() - 1, screenColumns());
}

}  // namespace

void selectPort() {
    const Text& word = commandWords[1];
    rememberedPortText.clear();
    bool ask = false;
    if (word.empty() || word == "C") {
        readRememberedPort();
        if (word == "C")
            portNumber = roundedPort(rememberedPortText);
        else
            ask = true;
    }
    for (;; ask = true) {
        const bool typed = ask && askForPort();
        if (portNumber < 1 || portNumber > maxPortNumber) {
            sayOnItsOwnLine("Must be 1-256!");
            continue;
        }
        portName = portNameFor(portNumber);
        if (numericValue(rememberedPortText) == portNumber) return;
        // A number nobody typed (command line, "C" with a fraction, Enter on
        // a default it differs from) is remembered as its plain digits.
        if (tryPort(typed ? commandText : portNumberText[static_cast<std::size_t>(portNumber)]))
            return;
        sayOnItsOwnLine("Problem with COM port or port number!");
    }
}

void readOperatorLine() {
    operatorLine.clear();
    for (;;) {
        const Text key = waitKey();
        if (key.empty()) continue;
        switch (static_cast<unsigned char>(key[0])) {
            case keyEscape:
                clearScreen();
                endRun();
            case keyBackspace:
                if (operatorLine.empty()) break;
                stepBack();
                printText(" ");
                stepBack();
                operatorLine.pop_back();
                break;
            case keyEnter:
                newLine();
                return;
            default:
                operatorLine += key;
                printText(key);
        }
    }
}

void probePort() {
    openPort();
    closePort();
}
