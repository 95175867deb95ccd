#include "ends/failure_paths.h"

#include "ends/ends.h"
#include "ends/upload_log.h"
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
    constexpr char first[] = "QRV.BAS UPLOAD FAILED!  KTX or RVB not responding, not connected, or";
    constexpr char second[] = "incorrect COM port specified.  Check and retry.";
    // The third failure to respond ends here too: the record tells the two apart.
    noteRunOutcome(failureCount >= 3 ? RunOutcome::notResponding : RunOutcome::uploadFailed,
                   "QRV.BAS UPLOAD FAILED!  KTX or RVB not responding, not connected, or "
                   "incorrect COM port specified.  Check and retry.",
                   replyLine);
    beep();
    printText(replyLine);
    newLine();
    printText(first);
    newLine();
    printText(second);
    newLine();
    printText("Press Enter.");
    readKeyboardLine();
    closingSequence();
}

void operatorTermination() {
    constexpr char message[] = "ZIDURAD Terminated by Operator before Completion.";
    newLine();
    printText(message);
    newLine();
    noteRunOutcome(RunOutcome::operatorStop, message);
    pause(2000);
    closingSequence();
}

void installLineExits() { setLineExits(LineExits{operatorTermination, uploadFailed}); }
