// Text files addressed by file number: COMMPORT.NUM and the upload file.
//
// A file opened with openTextFile is read line by line: CR ends a line and
// swallows a directly following LF; a lone LF is data; Ctrl-Z (26) ends the
// file and is never consumed; the physical end ends the last line. A file
// made with createTextFile takes whole lines, each written at once and ended
// with CR LF, so nothing is lost when the process ends without closing it.
//
// Every failure goes through raiseError. When no handler is in force the
// operation returns a neutral result and the file table stays as it was;
// a failed open leaves the number free.
#pragma once

#include <cstdint>

#include "platform/files/file_seam.h"
#include "runtime/program_state.h"

inline constexpr int maxFileNumber = 32767;

// Errors: 64 bad name, 52 number out of range, 55 number in use, then the
// native failures (53 missing, 76 no such directory, 70 locked, ...).
void openTextFile(const Text& name, int fileNumber);
void createTextFile(const Text& name, int fileNumber);

// The next line without its line end. Errors: 52, 54, 62 at the end.
Text readTextLine(int fileNumber);

// True when no byte is left or the next one is Ctrl-Z; false for a file
// being written. Also true when the file cannot be read at all (after
// raising the error), so a read loop without a handler still ends.
bool atEndOfFile(int fileNumber);

// Current size in bytes, 0 for a device.
std::int64_t fileSize(int fileNumber);

// Writes text and CR LF. Errors: 52, 54, 61 (57 on a device).
void writeTextLine(int fileNumber, const Text& text);

// Does nothing for a number that is not open. A file being written is cut
// at the write position first; failures are raised once the number is free.
void closeFile(int fileNumber);

bool fileNumberInUse(int fileNumber);

// The lines a file holds by the rules above, as the upload would send them;
// -1 when it cannot be read whole. Neither locks the file, nor touches the
// file table or the error state, nor opens anything but a disk file.
std::int64_t countTextLines(const Text& name);

// Closes every open file, then raises the first failure, if any.
void closeAllFiles();

// The native handle behind an open file number (an invalid one for a number
// not open), so that a test can release it and make the next close fail.
FileHandle nativeHandleOf(int fileNumber);
