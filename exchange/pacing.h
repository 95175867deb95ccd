// The controller's software flow control: after an XOFF nothing is sent
// until XON or 5 seconds, with a note on row 24; echo that arrives meanwhile
// is kept.
#pragma once

void waitForXon();
