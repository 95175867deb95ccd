#include "exchange/send_line.h"

#include "runtime/errors.h"
#include "runtime/program_state.h"
#include "platform/console/console.h"
#include "platform/serial/serial_link.h"
#include "exchange/pacing.h"

namespace {

constexpr char xon = 17;
constexpr char xoff = 19;
constexpr double lineLimit = 5;

LineExits lineExits;

// An exit left uninstalled ends the run as a fatal error rather than
// carrying on with a line that has failed.
[[noreturn]] void takeExit(void (*exit)()) {
    if (exit != nullptr) exit();
    endProcess(255, EndKind::fatal);
}

void pollOperator() {
    const Text key = pollKey();
    if (key == "\x1b" || key == "\x03") takeExit(lineExits.operatorStop);
}

// One received character of the line's echo, before its CR has gone out.
void takeEchoCharacter() {
    readChar();
    lastCode = static_cast<unsigned char>(lastChar[0]);
    if (lastCode == xoff) {
        waitForXon();
    } else if (lastCode != '\r' && lastCode != '\n' && lastCode != xon) {
        replyLine += lastChar;
    }
}

// Bytes of this line's echo still to come: its characters, CR and LF, less
// those in replyLine (and the prompt after the line before is none of them).
// It only sets how long the port may hold them back waiting for a line end.
int echoStillToCome() {
    if (lastCode == '\r' || lastCode == '\n') return 0;
    std::size_t echoed = replyLine.size();
    if (!replyLine.empty() && replyLine[0] == '>') --echoed;
    const std::size_t expected = commandText.size() + 1;
    return expected > echoed ? static_cast<int>(expected - echoed) : 0;
}

// Just past the line's limit, so the check after the wait sees it exceeded.
void awaitFirstEcho(double start) { waitForActivity(waitMilliseconds(lineLimit + 0.001 - secondsSince(start))); }

// After the CR: the rest of the echo up to its LF.
void readEchoTail() {
    // One return from the wait at the echo's line end rather than one per byte.
    expectBytes(echoStillToCome());
    while (lastCode != '\n') {
        const bool wasCr = lastCode == '\r';
        if (!waitReplyChar()) takeExit(lineExits.lineFailed);
        if (wasCr) return;
        if (lastCode != '\r' && lastCode != '\n' && lastCode != xon && lastCode != xoff) replyLine += lastChar;
    }
}

}  // namespace

void clearRowSix() {
    moveCursor(6, 1);
    printText(Text(80, ' '));
    newLine();
    moveCursor(6, 1);
}

void sendLineWithEcho() {
    commandText += '\r';
    clearRowSix();
    replyLine.clear();
    lastCode = 0;
    const double start = startInstant();
    std::size_t next = 0;
    while (next < commandText.size()) {
        pollOperator();
        if (secondsSince(start) > lineLimit) takeExit(lineExits.lineFailed);
        if (bytesWaiting() > 0) {
            takeEchoCharacter();
            continue;
        }
        // The second character waits for the first echo of this line.
        if (next > 0 && replyLine.empty()) {
            awaitFirstEcho(start);
            continue;
        }
        const Text character = commandText.substr(next, 1);
        sendText(character);
        if (character != "\r") printText(character);
        ++next;
        // Nothing more goes out before the first echo, and the wait ends at
        // once on a key or a byte already there: a look before it is spare.
        if (next == 1 && next < commandText.size() && replyLine.empty()) awaitFirstEcho(start);
    }
    readEchoTail();
    if (!replyLine.empty() && replyLine[0] == '>') replyLine.erase(0, 1);
}

bool sendVerifiedLine() {
    sendLineWithEcho();
    replyLine += '\r';
    return replyLine == commandText;
}

void setLineExits(LineExits exits) { lineExits = exits; }
