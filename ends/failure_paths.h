// The failure paths of the controller dialogue and the upload, and the end
// the operator chooses.
//
// The dialogue's outcomes travel as jumps: notResponding and the wake-up
// throw Recheck, caught by the loop of the prompt check (or by the main
// flow after an error in the variant query or the upload), which then
// checks the prompt again. The ends of the run throw RunEnd.
#pragma once

struct Recheck {
    bool fromStart;  // clear the screen and announce the check again
};

// Counts a failure and has the prompt checked again; the third failure of
// the run becomes uploadFailed.
[[noreturn]] void notResponding();

// The last reply, the failure message, "Press Enter.", the normal end.
[[noreturn]] void uploadFailed();

// Esc or Ctrl-C during a line: the message, a pause, the normal end.
[[noreturn]] void operatorTermination();

// Hands the line exchange its two ways out, operatorTermination and
// uploadFailed. Done once at start.
void installLineExits();
