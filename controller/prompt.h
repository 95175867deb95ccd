// Bringing the controller to its prompt and the speed switch to 19200 baud.
//
// The dialogue's failures travel as jumps (ends/failure_paths.h): a Recheck
// is caught by the loop of the check, which then checks the prompt again.
#pragma once

// The full check: screen cleared, "Checking for READY > Prompt...".
void checkPrompt();
// The re-check entry: the same from reopening the port, screen kept.
void recheckPrompt();

// Closes, reopens and configures the port for the speed speedMode gives.
void reopenPort();
