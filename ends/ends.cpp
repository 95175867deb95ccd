#include "ends/ends.h"

#include "platform/console/console.h"
#include "platform/files/files.h"
#include "platform/serial/serial_link.h"
#include "runtime/errors.h"
#include "runtime/program_state.h"

void syntaxErrorExit() {
    newLine();
    printText("FixQRV Command Line SYNTAX Error Detected.");
    newLine();
    pressEnterAndClose();
}

void pressEnterAndClose() {
    closeFile(uploadFileNumber);
    closePort();
    printText("Press Enter.");
    readKeyboardLine();
    closingSequence();
}

void closingSequence() {
    // The end must not fail into a report that ends here again: a console
    // that cannot be resized back (a terminal smaller than 80 x 25) would
    // otherwise loop forever. Whatever fails now is dropped.
    installHandler(Handler::none);
    closePort();
    clearScreen();
    setScreenSize(80, 25);
    clearScreen();
    endProcess(0, EndKind::closing);
}

void endRun() { endProcess(0, EndKind::immediate); }
