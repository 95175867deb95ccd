// Choosing the COM port: from the command line, from the number remembered
// in "COMMPORT.NUM", or from the operator at a prompt that offers the
// remembered number as its default.
//
// selectPort returns with portNumber 1..256, portName built and the port
// closed, or ends the run through endRun when the operator presses Esc. A
// number other than the remembered one is written to "COMMPORT.NUM" and
// test-opened; the remembered one is trusted as it is.
#pragma once

#include "runtime/program_state.h"

inline constexpr const char* portMemoryFileName = "COMMPORT.NUM";

// Entered at the file read when word 1 of the command line is "C" or empty,
// at the range check when the main flow has set portNumber from word 1.
void selectPort();

// One line from the keyboard at the cursor, echoed: Backspace takes back the
// last byte, Enter ends the line, Esc clears the screen and ends the run.
void readOperatorLine();

// Opens portName and closes it again; a failure raises 69 (or the native
// number) to the handler in force.
void probePort();
