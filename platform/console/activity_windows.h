// The serial seam tells the console's waits whether a port is open. A
// synchronous comm handle cannot be waited on, so while one is open
// waitForActivity() wakes at least every millisecond for the caller to look
// at the receive queue. Windows targets only.
#pragma once

void serialPortOpened();
void serialPortClosed();
