// How a serial device is claimed so that other programs see it in use, and
// how FixQRV sees theirs (POSIX targets only).
//
// Terminal programs (minicom, picocom, cu) mark a port with a UUCP lock
// file: LCK..<device name> in /run/lock or /var/lock, holding the owner's
// PID as ten ASCII digits and a newline. A lock whose PID is alive keeps
// the port; one whose process is gone is stale and taken over. A lock that
// names no PID, even when read again a moment later, keeps the port too:
// nobody can tell whether its owner is gone. Where no lock folder is
// writable the port is used without a lock; where one is, a lock that
// cannot be written is a port that cannot be had.
//
// A program that opened the device without a lock file (ModemManager
// probing a new adapter, a terminal left open) is found on Linux the way
// fuser finds it: through every process's open descriptors in /proc.
#pragma once

#include <cstddef>
#include <string>

// Takes the lock for the device; 69 when a live process (or an owner that
// cannot be named) holds it, or the lock cannot be written. lockPath is the
// file taken, empty when there is no lock folder to write to.
int takePortLock(const std::string& devicePath, std::string& lockPath);
// The same in a given folder.
int takePortLockIn(const std::string& folder, const std::string& devicePath, std::string& lockPath);

// Removes the lock, if it is still ours.
void releasePortLock(const std::string& lockPath);

// The PID in the text of a lock file, length bytes (no NUL needed): ASCII
// digits after optional blanks and a sign, anything after them ignored, or,
// in a file of exactly four bytes that are not all digits, blanks and
// newlines, a binary int in the machine's byte order as old UUCP versions
// wrote it. 0 when it names none (no digits: not written yet, or no lock);
// noSuchProcess for a number no process can have (0, negative, or past the
// largest PID), which makes the lock stale.
inline constexpr long noSuchProcess = -1;
long parseLockOwner(const char* text, std::size_t length);

// True when another process has the device of fd open. The process holding
// a pseudo-terminal's master is its far end, not another user of the port.
bool deviceOpenElsewhere(int fd);
