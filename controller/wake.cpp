#include "controller/wake.h"

#include "controller/prompt.h"
#include "ends/ends.h"
#include "ends/failure_paths.h"
#include "ends/upload_log.h"
#include "exchange/send_line.h"
#include "platform/console/console.h"
#include "platform/serial/serial_link.h"
#include "runtime/program_state.h"

namespace {

// A controller that answers carriage returns but never its break would send
// the run round wake-up, dialogue and re-check for ever, with no key read
// on the way; a few such rounds in a row count as not responding.
constexpr int maxDialogueRechecks = 3;

[[noreturn]] void checkAgain(bool fromStart) {
    if (++dialogueRechecks >= maxDialogueRechecks) {
        dialogueRechecks = 0;
        notResponding();
    }
    throw Recheck{fromStart};
}

// Pause until 1.5 s have passed since a whole-second start instant.
void pauseBetweenWakeUps() {
    const double start = startInstant();
    for (double elapsed = secondsSince(start); elapsed < 1.5; elapsed = secondsSince(start))
        pause(waitMilliseconds(1.5 - elapsed));
}

// The operator's keys go to the controller as typed, up to Enter.
void passwordEntry() {
    printText(replyLine);
    for (;;) {
        // Once input has ended, so has the typed line: the controller answers
        // it and the run goes on by its own paths.
        const Text key = keyboardEnded() ? Text("\r") : waitKey();
        sendText(key);
        if (key == "\r") break;
        printText(key);
    }
    receiveLine();
    if (replyLine.find("Unknown!") != Text::npos) {
        printText(" Unknown!");
        newLine();
        return;
    }
    newLine();
    checkAgain(false);
}

}  // namespace

void wakeController() {
    reopenPort();
    printText("Waking the KTX.  Please wait...");
    newLine();
    const double wakeStart = startInstant();
    for (;;) {
        sendText("\r");
        pauseBetweenWakeUps();
        if (secondsSince(wakeStart) > 11) notResponding();
        if (bytesWaiting() > 0) break;
    }
    const double answerStart = startInstant();
    dialogueMisses = 1;
    for (;;) {
        lineTimeout = 1;
        receiveLine();
        if (!replyLine.empty()) securityDialogue();
        if (secondsSince(answerStart) >= 20) notResponding();
    }
}

void securityDialogue() {
    for (;;) {
        lineTimeout = 1;
        receiveLine();
        if (replyLine == "Password: ") {
            passwordEntry();
        } else if (replyLine.find("Enable Security") != Text::npos) {
            commandText = Text(1, 'N');
            sendLineWithEcho();
            checkAgain(true);
        } else if (replyLine == "BYE!") {
            constexpr char refused[] = "Invalid Password!";
            printText(refused);
            newLine();
            noteRunOutcome(RunOutcome::invalidPassword, refused);
            pause(2000);
            endRun();
        } else if (++dialogueMisses > 3) {
            checkAgain(false);
        }
    }
}
