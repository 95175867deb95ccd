// The reports of run-time errors during the controller dialogue, the
// upload and the opening of the upload file. Entered in place of the step
// that failed; neither returns.
#pragma once

// Names the error, breaks into the controller and either sends it "SLEEP"
// and ends the run, or hands the run to notResponding.
[[noreturn]] void generalErrorReport(int number);

// Names the error (and the two program files when one is missing), waits
// for Enter and ends the run.
[[noreturn]] void fileErrorReport(int number);

// Runs the handler in force for an error caught in the dialogue or the
// upload; rethrows a jump meant for another handler.
[[noreturn]] void handleRunError(const struct ErrorJump& jump);

// Runs a step of the dialogue or the upload with its errors going to the
// handler in force, and returns when the step returns. A handler does not
// remove itself: an error raised while one runs goes to the handler then
// in force, the same one again if nothing has replaced it. Jumps meant for
// other handlers, Recheck and the ends of the run pass on.
void runUnderHandlers(void (*step)());
