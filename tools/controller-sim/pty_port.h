// The pseudo-terminal that stands in for the serial line. FixQRV opens the
// slave side as its COM port; the simulator plays the controller on the
// master side.
//
// We hold a slave descriptor of our own for the whole run: FixQRV closes and
// reopens the port for every attempt, and without a slave open Linux fails
// reads of the master with EIO and throws away the slave's settings.
#pragma once

#include <string>

namespace sim {

struct PtyPort {
    int master = -1;
    int spare = -1;
    std::string path;
};

// Empty string on success, else what went wrong. The slave starts raw at
// 9600 baud; both descriptors are close-on-exec, the master non-blocking.
std::string openPtyPort(PtyPort& port);

// Baud rate the slave is set to, 0 when it cannot be read.
int portRate(const PtyPort& port);

// Lets the master see when the last slave descriptor, FixQRV's, is closed.
void releaseSpare(PtyPort& port);

// The line drops: closing the master hangs the slave up, so FixQRV's reads
// return 0 and its writes and ioctls fail with EIO.
void hangUp(PtyPort& port);

}  // namespace sim
