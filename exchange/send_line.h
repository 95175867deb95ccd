// Sending a command to the controller one character per write while its
// echo is collected: reading always comes before sending, XOFF pauses the
// line, the operator can stop the run with Esc or Ctrl-C.
#pragma once

// commandText + CR out, its echo in replyLine (line ends, XON and XOFF left
// out, a leading ">" removed). Shows the characters sent on row 6.
void sendLineWithEcho();

// sendLineWithEcho, then whether the echo equals what was sent.
bool sendVerifiedLine();

// A line's two ways out belong to the ends of a run, on a floor above this
// one, which installs them once at start: Esc or Ctrl-C typed during the
// line, and an echo that does not come in time. Neither returns.
struct LineExits {
    void (*operatorStop)() = nullptr;  // operatorTermination
    void (*lineFailed)() = nullptr;    // uploadFailed
};
void setLineExits(LineExits exits);

// Clears screen row 6 and puts the cursor at its start.
void clearRowSix();
