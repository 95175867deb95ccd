// Operating-system primitives under the portable serial link.
//
// The portable link (serial_link.h) owns the line settings' order, the
// receive loops, time limits and error handling; this seam opens a COM
// device by its program name ("COM3", "\\.\COM12"), reads and writes the
// driver's settings one record at a time, counts waiting bytes, reads one
// byte and writes a block. Every primitive returns 0 or a run-time error
// number; the portable side raises it.
//
// On POSIX port n is the device in FIXQRV_COM<n>, else /dev/ttyS<n-1>, put
// in raw mode on opening so every byte, XON and XOFF included, passes
// unchanged. Queue sizes have no POSIX equivalent and are accepted as they
// are; devices without modem lines (a pseudo-terminal) accept DTR silently.
#pragma once

#include <string>

struct SerialHandle {
    long value = -1;
};

// The items the program changes, one read-modify-write at a time.
struct SerialSettings {
    int baudRate = 9600;
    int dataBits = 8;
    bool parityChecking = false;
    int stopBits = 1;
};

// Opens the port exclusively; 69 when it cannot be opened or is no device.
int serialSeamOpen(const std::string& portName, SerialHandle& handle);
int serialSeamClose(SerialHandle handle);

// 5 when the device refuses a value.
int serialSeamReadSettings(SerialHandle handle, SerialSettings& settings);
int serialSeamWriteSettings(SerialHandle handle, const SerialSettings& settings);
int serialSeamQueueSizes(SerialHandle handle, int& transmit, int& receive);
int serialSeamRecommendQueueSizes(SerialHandle handle, int transmit, int receive);
int serialSeamSetDtr(SerialHandle handle, bool on);

// Bytes waiting, and whether the driver recorded a line error (overrun,
// framing, queue overflow, device failure) since the last call.
int serialSeamStatus(SerialHandle handle, int& waiting, bool& lineError);

// One byte if one is there; got is false when the read came back empty.
int serialSeamReadByte(SerialHandle handle, char& byte, bool& got);

// All bytes, or 69 when the device fails or takes fewer.
int serialSeamWrite(SerialHandle handle, const char* data, int count);

// A hint that the rest of a line's echo, about `count` bytes ending in CR
// and LF, is on its way now that the line's CR has been written: the waits
// may leave the port out until shortly before the echo's end can have come
// at the line rate. It lapses at the next write and at closing; a target
// without such waits ignores it.
void serialSeamExpect(SerialHandle handle, int count);
