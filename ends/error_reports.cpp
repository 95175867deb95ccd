#include "ends/error_reports.h"

#include <optional>

#include "ends/ends.h"
#include "ends/failure_paths.h"
#include "ends/upload_log.h"
#include "exchange/send_line.h"
#include "platform/console/console.h"
#include "platform/serial/serial_link.h"
#include "runtime/errors.h"
#include "runtime/program_state.h"

namespace {

// The handlers whose jumps are caught where the dialogue and the upload run.
bool reportedHere(Handler handler) {
    return handler == Handler::generalErrorReport || handler == Handler::readRecovery ||
           handler == Handler::fileErrorReport;
}

void printErrorNumber(int number) {
    printText("ERROR: ");
    printNumber(number);
}

// Steps that talk to the controller; an error among them ends the run
// instead of starting this report over and over on a dead line.
void breakInAndSleep() {
    sendText("\x03");
    sendText("\x03");
    lineTimeout = 2;
    receiveLine();
    if (gotLine == 0) {
        pause(2000);  // time to read the report before the screen clears
        closingSequence();
    }
    printText("Waiting for READY > Prompt...");
    newLine();
    if (!replyLine.empty()) notResponding();
    receiveLine();
    receiveLine();
    if (replyLine != "READY") notResponding();
    receiveLine();
    if (replyLine != ">") notResponding();
    commandText = "SLEEP";
    sendLineWithEcho();
    pause(2000);
    closingSequence();
}

}  // namespace

void generalErrorReport(int number) {
    const char* const words = number == 57 ? "DEVICE I/O ERROR!" : number == 69 ? "COMMUNICATION BUFFER OVERFLOW!" : "";
    noteErrorOutcome(number, words);
    beep();
    newLine();
    printErrorNumber(number);
    if (*words != '\0') {
        printText(words);
        newLine();
    }
    try {
        withMemoryErrors(breakInAndSleep);
    } catch (const ErrorJump&) {
        newLine();
        pause(2000);
        closingSequence();
    }
    closingSequence();  // not reached: every path above ends or jumps
}

void fileErrorReport(int number) {
    constexpr char notFound[] = "QRV1.BAS or QRV2.BAS Not Found!";
    noteErrorOutcome(number, number == 53 ? notFound : "");
    printErrorNumber(number);
    if (number == 53) {
        beep();
        printText(notFound);
        newLine();
    }
    pressEnterAndClose();
}

void handleRunError(const ErrorJump& jump) {
    switch (jump.handler) {
        case Handler::generalErrorReport:
        // A link error that escaped the read retries is reported the same way.
        case Handler::readRecovery: generalErrorReport(jump.number);
        case Handler::fileErrorReport: fileErrorReport(jump.number);
        default: throw jump;
    }
}

void runUnderHandlers(void (*step)()) {
    // The report runs outside the catch, so that its own errors are caught
    // here like any other.
    std::optional<ErrorJump> pending;
    for (;;) {
        try {
            withMemoryErrors([&] {
                if (!pending) return step();
                const ErrorJump jump = *pending;
                pending.reset();
                handleRunError(jump);
            });
            return;  // the step has returned: a report never does
        } catch (const ErrorJump& jump) {
            if (!reportedHere(jump.handler)) throw;
            pending = jump;
        }
    }
}
