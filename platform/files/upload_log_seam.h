// The upload log's file: where it is, and the one row a run appends to it.
//
// Where: the file named by FIXQRV_LOG, or none when it says "off" (in any
// case); otherwise on POSIX $XDG_STATE_HOME/fixqrv/uploads.csv, by default
// ~/.local/state/fixqrv/uploads.csv, and on Windows
// %LOCALAPPDATA%\FixQRV\uploads.csv. Missing folders are made.
//
// Never in the way: a row goes out in one append write, so the rows of runs
// on other ports never interleave. Only a regular file is written, opened
// without waiting, so a FIFO or a device never holds the run up; a log that
// cannot be written (a folder, no permission, a full disk) is skipped
// without a word. A new or empty log gets the header row first; a new one
// is made under a temporary name with its header and first row and then
// linked into place, so two runs that make it at once leave one header.
//
// A run ended by a fatal signal (POSIX) or by closing its console window,
// logging off or shutting down (Windows) gets its row from that handler:
// the row is kept ready as the run goes, and the handler adds the end time
// and the signal's name. One row per run, whichever end writes it.
#pragma once

#include <string>

#include "runtime/upload_record.h"

// Chooses the file for this run from the environment; false when the log is
// off or has no place. Called once the dialogue with the controller begins.
bool uploadLogChooseFile();

// The row a fatal end would write now, and the header for a new log. Each
// call replaces the last; the first one puts the handlers in place.
void uploadLogPrepareFatalEnd(const std::string& header, const SignalRowParts& row, int utcOffsetSeconds);

// Appends the run's row at its end, unless a fatal end has; the handlers
// are removed first.
void uploadLogAppendRow(const std::string& header, const std::string& row);
