#include "controller/prompt.h"

#include "controller/wake.h"
#include "ends/error_reports.h"
#include "ends/failure_paths.h"
#include "platform/console/console.h"
#include "platform/serial/serial_link.h"
#include "runtime/errors.h"
#include "runtime/program_state.h"

namespace {

constexpr int maxReplies = 40;

bool isPrompt(const Text& line) { return line == ">" || line == "READY"; }

// The controller now talks at 19200; its output must fall silent.
void switchSpeed() {
    installHandler(Handler::none);
    commandText = "TIMER1=65524";
    sendCommandLine();
    pause(1000);
    const double start = startInstant();
    for (;;) {
        if (secondsSince(start) > 5) notResponding();
        if (bytesWaiting() == 0) break;
        readChar();
    }
    installHandler(Handler::generalErrorReport);
    setBaudRate(19200);
    speedMode = 2;
}

// From reopening the port to the prompt found.
void promptAttempt() {
    installHandler(Handler::generalErrorReport);
    reopenPort();
    sendText("\x13");
    while (bytesWaiting() > 0) readChar();
    sendText("\x03");
    lineTimeout = 1;
    receiveLine();
    if (gotLine == 0 && speedMode != 0) speedMode = 2;
    if (gotLine == 0) wakeController();
    for (int examined = 1; !isPrompt(replyLine); ++examined) {
        if (examined >= maxReplies) notResponding();
        receiveLine();
    }
    dialogueRechecks = 0;
    if (speedMode == 1) switchSpeed();
}

void promptLoop(bool fresh) {
    for (;;) {
        if (fresh) {
            clearScreen();
            printText("Checking for READY > Prompt...");
            newLine();
        }
        try {
            runUnderHandlers(promptAttempt);
            return;
        } catch (const Recheck& recheck) {
            fresh = recheck.fromStart;
        }
    }
}

}  // namespace

void reopenPort() {
    closePort();
    openPort();
    configurePort(speedMode == 2 ? 19200 : lineSettings.baudRate);
}

void checkPrompt() { promptLoop(true); }
void recheckPrompt() { promptLoop(false); }
