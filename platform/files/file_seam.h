// Operating-system primitives under the portable text file layer.
//
// The portable layer (files.h) owns the file table, the read buffer and the
// line rules; this seam only opens, reads, writes, measures, cuts and closes
// native files. Every primitive returns 0 on success or the run-time error
// number of the native failure, mapped by fileErrorNumberFromNative, so the
// portable layer never sees errno or a last-error code. Interrupted calls
// are retried inside the seam.
//
// Opening is exclusive, like a Windows open with no sharing: a disk file
// held by another opener fails with 70 (on POSIX an advisory flock, which
// every FixQRV process takes). Devices (anything that is not a disk file)
// are neither locked nor cut.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Native handle: a descriptor on POSIX, a HANDLE's value on Windows.
struct FileHandle {
    long value = -1;
};

// Opens an existing file for reading. A directory gives 70; a missing file
// 53 when its directory exists, 76 when it does not.
int fileSeamOpenForReading(const std::string& name, FileHandle& handle);

// Opens a disk file for reading without taking it from anyone: no lock,
// every sharing allowed, so that a program opening it meanwhile is not
// refused. Anything that is not a disk file (a FIFO, a device, a folder)
// is refused with 70, on POSIX without being opened.
int fileSeamOpenSharedForReading(const std::string& name, FileHandle& handle);

// Opens a file for writing, creating it when missing, then cuts it to
// length 0. The lock is taken before the cut, so a file that another opener
// holds keeps its content.
int fileSeamCreateForWriting(const std::string& name, FileHandle& handle);

// Whether the handle is a device (character device, pipe) rather than a
// disk file.
int fileSeamIsDevice(FileHandle handle, bool& isDevice);

// Reads up to size bytes; got is 0 at the end of the file.
int fileSeamRead(FileHandle handle, char* buffer, std::size_t size, std::size_t& got);

// Writes all size bytes unless a failure stops it; written tells how many
// were stored either way.
int fileSeamWrite(FileHandle handle, const char* data, std::size_t size,
                  std::size_t& written);

int fileSeamCurrentSize(FileHandle handle, std::int64_t& size);

// Cuts the file at the current write position.
int fileSeamCutAtWritePosition(FileHandle handle);

// Releases the handle; it is gone even when a failure is reported.
int fileSeamClose(FileHandle handle);

// Run-time error number for a native failure code (errno on POSIX, the
// last-error code on Windows). Exposed so that tests can check the table.
int fileErrorNumberFromNative(int code);
