#include "ends/failure_paths.h"

#include "ends/ends.h"
#include "exchange/send_line.h"
#include "platform/console/console.h"
#include "runtime/program_state.h"

void notResponding() {
    beep();
    printText("KTX or RVB NOT PROPERLY RESPONDING!");
    newLine();
    printText("  Check cables or COMM ports and retry.");
    newLine();
    if (++failureCount >= 3) uploadFailed();
    throw Recheck{false};
}

void uploadFailed() {
    beep();
    printText(replyLine);
    newLine();
    printText("QRV.BAS UPLOAD FAILED!  KTX or RVB not responding, not connected, or");
    newLine();
    printText("incorrect COM port specified.  Check and retry.");
    newLine();
    printText("Press Enter.");
    readKeyboardLine();
    closingSequence();
}

void operatorTermination() {
    newLine();
    printText("ZIDURAD Terminated by Operator before Completion.");
    newLine();
    pause(2000);
    closingSequence();
}

void installLineExits() { setLineExits(LineExits{operatorTermination, uploadFailed}); }
