// Bringing the controller to its prompt, the speed switch to 19200 baud,
// and the two failure paths of the whole controller dialogue.
//
// The dialogue's outcomes travel as jumps: notResponding and the wake-up
// throw Recheck, caught by the loop of the prompt check (or by the main
// flow after an error in the variant query or the upload), which then
// checks the prompt again. The ends of the run throw RunEnd.
#pragma once

struct Recheck {
    bool fromStart;  // clear the screen and announce the check again
};

// The full check: screen cleared, "Checking for READY > Prompt...".
void checkPrompt();
// The re-check entry: the same from reopening the port, screen kept.
void recheckPrompt();

// Closes, reopens and configures the port for the speed speedMode gives.
void reopenPort();

[[noreturn]] void notResponding();
[[noreturn]] void uploadFailed();

// Runs the handler in force for an error caught in the dialogue or the
// upload; rethrows a jump meant for another handler.
[[noreturn]] void handleRunError(const struct ErrorJump& jump);
