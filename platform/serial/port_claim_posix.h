// How a serial device is claimed so that other programs see it in use, and
// how FixQRV sees theirs (POSIX targets only).
//
// Terminal programs (minicom, picocom, cu) mark a port with a UUCP lock
// file: LCK..<device name> in /run/lock or /var/lock, holding the owner's
// PID as ten ASCII digits and a newline. A lock whose PID is alive keeps
// the port; one whose process is gone is stale and taken over. Where no
// lock folder is writable the port is used without a lock.
//
// A program that opened the device without a lock file (ModemManager
// probing a new adapter, a terminal left open) is found on Linux the way
// fuser finds it: through every process's open descriptors in /proc.
#pragma once

#include <cstddef>
#include <string>

// Takes the lock for the device; 69 when a live process holds it. lockPath
// is the file taken, empty when none could be written.
int takePortLock(const std::string& devicePath, std::string& lockPath);
// Removes the lock, if it is still ours.
void releasePortLock(const std::string& lockPath);

// The PID in the text of a lock file, length bytes (no NUL needed): ASCII
// digits after optional blanks and a plus sign, anything after them ignored,
// or, in a file of exactly four bytes that are not all digits, blanks and
// newlines, a binary int in the machine's byte order as old UUCP versions
// wrote it. 0 when there is none: no digits, 0, or a number no process can
// have (negative, or past the largest PID).
long parseLockOwner(const char* text, std::size_t length);

// True when another process has the device of fd open. The process holding
// a pseudo-terminal's master is its far end, not another user of the port.
bool deviceOpenElsewhere(int fd);
