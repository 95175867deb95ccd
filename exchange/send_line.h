// Sending a command to the controller one character per write while its
// echo is collected: reading always comes before sending, XOFF pauses the
// line, the operator can stop the run with Esc or Ctrl-C.
#pragma once

// commandText + CR out, its echo in replyLine (line ends, XON and XOFF left
// out, a leading ">" removed). Shows the characters sent on row 6.
void sendLineWithEcho();

// sendLineWithEcho, then whether the echo equals what was sent.
bool sendVerifiedLine();

// Esc or Ctrl-C during a line: the message, a pause, the normal end.
[[noreturn]] void operatorTermination();

// Clears screen row 6 and puts the cursor at its start.
void clearRowSix();
