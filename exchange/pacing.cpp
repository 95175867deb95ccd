#include "exchange/pacing.h"

#include "platform/console/console.h"
#include "platform/serial/serial_link.h"
#include "runtime/errors.h"
#include "runtime/program_state.h"

namespace {
constexpr char xon = 17;
constexpr char xoff = 19;
constexpr double pauseLimit = 5;
}  // namespace

void waitForXon() {
    const int row = cursorRow();
    const int column = cursorColumn();
    moveCursor(24, 1);
    printText("Waiting for XON...");
    const double start = startInstant();
    for (;;) {
        const double elapsed = secondsSince(start);
        if (elapsed >= pauseLimit) {
            moveCursor(24, 1);
            printText("Did not receive XOFF. Continue as if did...");
            pause(2000);
            break;
        }
        if (bytesWaiting() == 0) {
            waitForActivity(waitMilliseconds(pauseLimit - elapsed));
            continue;
        }
        // From here on readRecovery is in force, as after any read.
        readChar();
        if (lastChar[0] == xon) break;
        if (lastChar[0] != xoff) replyLine += lastChar;
    }
    moveCursor(24, 1);
    printText(Text(60, ' '));
    moveCursor(row, column);
}
