#include "platform/serial/serial_link.h"

#include <algorithm>
#include <cmath>

#include "runtime/errors.h"
#include "platform/console/console.h"
#include "platform/files/files.h"
#include "platform/serial/serial_seam.h"

namespace {

SerialHandle port;
bool open = false;
int consecutiveFailures = 0;

// Under readRecovery an error is retried (by readChar) or dropped, until
// too many come in a row; then it is reported like any other link error.
void raiseLinkError(int number) {
    if (handlerInForce() == Handler::readRecovery && ++consecutiveFailures >= recoveryLimit) {
        consecutiveFailures = 0;
        installHandler(Handler::generalErrorReport);
    }
    raiseError(number);
}

// Runs a link step; under readRecovery a failure abandons only that step.
template <typename Step>
void recovering(Step step) {
    try {
        step();
    } catch (const ErrorJump& jump) {
        if (jump.handler != Handler::readRecovery) throw;
    }
}

bool requireOpen() {
    if (!open) raiseLinkError(52);
    return open;
}

template <typename Change>
void changeSetting(Change change) {
    SerialSettings settings;
    int error = serialSeamReadSettings(port, settings);
    if (error == 0) {
        change(settings);
        error = serialSeamWriteSettings(port, settings);
    }
    if (error != 0) raiseLinkError(error);
}

}  // namespace

Text portNameFor(int number) {
    const Text& digits = portNumberText[static_cast<std::size_t>(std::clamp(number, 0, maxPortNumber))];
    return (number <= 9 ? "COM" : "\\\\.\\COM") + digits;
}

void openPort() {
    if (open || fileNumberInUse(portFileNumber)) return raiseError(55);
    SerialHandle handle;
    if (const int error = serialSeamOpen(portName, handle)) return raiseError(error);
    port = handle;
    open = true;
    consecutiveFailures = 0;
}

void closePort() {
    if (!open) return;
    open = false;
    serialSeamClose(port);  // nothing useful can follow a failed close
}

bool portIsOpen() { return open; }

void configurePort(int baudRate) {
    if (!requireOpen()) return;
    recovering([&] {
        changeSetting([&](SerialSettings& s) { s.baudRate = baudRate; });
        // Eight data bits bring one stop bit and no parity with them.
        changeSetting([](SerialSettings& s) {
            s.dataBits = lineSettings.dataBits;
            s.parityChecking = false;
            s.stopBits = 1;
        });
        changeSetting([](SerialSettings& s) { s.parityChecking = lineSettings.parityChecking; });
        changeSetting([](SerialSettings& s) { s.stopBits = lineSettings.stopBits; });
        int transmit = 0, receive = 0;
        int error = serialSeamQueueSizes(port, transmit, receive);
        if (error == 0) error = serialSeamRecommendQueueSizes(port, lineSettings.transmitQueue, receive);
        if (error == 0) error = serialSeamQueueSizes(port, transmit, receive);
        if (error == 0) error = serialSeamRecommendQueueSizes(port, transmit, lineSettings.receiveQueue);
        if (error == 0) error = serialSeamSetDtr(port, lineSettings.dtrOn);
        if (error != 0) raiseLinkError(error);
    });
}

void setBaudRate(int baudRate) {
    if (!requireOpen()) return;
    recovering([&] { changeSetting([&](SerialSettings& s) { s.baudRate = baudRate; }); });
}

void sendText(const Text& text) {
    if (!open) return recovering([] { requireOpen(); });
    // Under readRecovery a failed write is tried again: the character has
    // not gone out, so it must not count as sent.
    for (;;) {
        try {
            const int error = serialSeamWrite(port, text.data(), static_cast<int>(text.size()));
            if (error != 0) raiseLinkError(error);
            return;
        } catch (const ErrorJump& jump) {
            if (jump.handler != Handler::readRecovery) throw;
        }
    }
}

void sendCommandLine() {
    commandText += '\r';
    moveCursor(6, 1);
    printText(Text(80, ' '));
    newLine();
    moveCursor(6, 1);
    for (std::size_t i = 0; i < commandText.size(); ++i) {
        sendText(commandText.substr(i, 1));
        if (i + 1 < commandText.size()) printText(commandText.substr(i, 1));
    }
}

int bytesWaiting() {
    if (!open) {
        recovering([] { requireOpen(); });
        return 0;
    }
    // Under readRecovery a failed query is asked again: reading it as "0
    // waiting" would let the send loop send past an XOFF already received.
    for (;;) {
        try {
            int waiting = 0;
            bool lineError = false;
            int error = serialSeamStatus(port, waiting, lineError);
            if (error == 0 && lineError) error = 57;  // the count is not delivered
            if (error == 0) return waiting;
            raiseLinkError(error);
            return 0;  // dropped: no handler in force
        } catch (const ErrorJump& jump) {
            if (jump.handler != Handler::readRecovery) throw;
        }
    }
}

void readChar() {
    for (;;) {
        installHandler(Handler::readRecovery);
        try {
            if (!requireOpen()) return;
            char byte = 0;
            bool got = false;
            if (const int error = serialSeamReadByte(port, byte, got)) raiseLinkError(error);
            if (got) {
                lastChar = Text(1, byte);
                consecutiveFailures = 0;
                return;
            }
            waitForActivity(1);  // announced byte not there yet
        } catch (const ErrorJump& jump) {
            if (jump.handler != Handler::readRecovery) throw;
        }
    }
}

void expectBytes(int count) {
    if (open) serialSeamExpect(port, count);
}

void drainInput() {
    while (bytesWaiting() != 0) readChar();
}

int waitMilliseconds(double secondsLeft) {
    return std::clamp(static_cast<int>(std::ceil(secondsLeft * 1000.0)), 1, 1000);
}

void receiveLine() {
    const double start = startInstant();
    replyLine.clear();
    gotLine = 1;
    for (;;) {
        if (bytesWaiting() > 0) {
            readChar();
            if (lastChar == "\n") return;
            if (lastChar != "\r") replyLine += lastChar;
            if (lastChar == "\b") printText("\x1d \x1d");
            continue;
        }
        const double elapsed = secondsSince(start);
        if (elapsed >= lineTimeout) break;
        waitForActivity(waitMilliseconds(lineTimeout - elapsed));
    }
    gotLine = 0;
}

namespace {

bool takeReplyChar() {
    readChar();
    lastCode = static_cast<unsigned char>(lastChar[0]);
    installHandler(Handler::generalErrorReport);
    return true;
}

}  // namespace

bool waitReplyChar() {
    // A byte already there is taken without reading the clock: the limit
    // cannot have passed at the first look, whatever the time.
    if (bytesWaiting() > 0) return takeReplyChar();
    const double start = startInstant();
    for (;;) {
        const double elapsed = secondsSince(start);
        if (elapsed > 5) return false;
        if (bytesWaiting() == 0) {
            // Just past the limit, so the check above sees it exceeded.
            waitForActivity(waitMilliseconds(5 - elapsed + 0.001));
            continue;
        }
        return takeReplyChar();
    }
}
