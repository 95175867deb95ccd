// The ways a run ends. Each is entered by a jump and never returns: it
// throws RunEnd, which main() turns into the terminal's restoration and the
// exit code (0 on every path of a run).
#pragma once

// Unrecognised command-line word: the message, "Press Enter.", the end.
[[noreturn]] void syntaxErrorExit();

// Closes what is open, shows "Press Enter." and waits for Enter, then
// closingSequence. The tail shared by the reports that wait for the operator.
[[noreturn]] void pressEnterAndClose();

// The normal end: port closed, screen cleared, console back to 80 x 25.
[[noreturn]] void closingSequence();

// The immediate end: the screen and the 24-row console stay as they are.
[[noreturn]] void endRun();
