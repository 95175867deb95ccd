// The upload log: one row per run that began the dialogue with the
// controller, appended at the run's end to a CSV file (see
// platform/files/upload_log_seam.h for where, runtime/upload_record.h for
// what). The run notes what happens as it goes; the log only reads, so no
// screen, byte sent, time limit or exit code depends on it, and a failure
// to keep it (memory, a file that cannot be written) is dropped quietly.
#pragma once

#include "runtime/upload_record.h"

// The dialogue begins: the start time, the port and the program's version.
void beginUploadLog(const char* version);

// The controller's answer to the variant query (replyLine).
void noteVariantAnswer();
// uploadFileName is chosen: its lines are counted before it is opened.
void noteUploadFileChosen();
// The upload file is open and uploadFileSize taken.
void noteUploadFileOpened();
void noteUploadPass();
void noteLineVerified();

// How the run ends, with the message the screen shows, after `shownFirst`
// when the screen showed that above it (the controller's last reply). The
// last outcome noted before the end counts.
void noteRunOutcome(RunOutcome outcome, const char* message, const Text& shownFirst = Text());

// A run-time error's report as the screen shows it ("ERROR:  57 DEVICE I/O
// ERROR!"); `words` may be empty.
void noteErrorOutcome(int errorNumber, const char* words);

// Writes the row, once the port and the terminal are back as they were.
void writeUploadLog();
