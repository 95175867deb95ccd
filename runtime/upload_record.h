// The upload record: what a run that reached the controller did, gathered
// as the run goes and written at its end as one row of the upload log, a
// CSV file (comma, CR LF, fields quoted when they hold a comma or a quote)
// that a spreadsheet opens. Bytes outside printable ASCII, the controller's
// among them, are shown as \xHH, so a row is always one line of printable
// text.
//
// Nothing here talks to the system: the ends of a run fill the record and
// hand its row to the log seam.
#pragma once

#include <cstddef>
#include <cstdint>

#include "runtime/program_state.h"

// A moment as the log shows it: seconds since 1970-01-01 UTC, and the local
// offset from UTC then.
struct CalendarTime {
    std::int64_t utcSeconds = 0;
    int utcOffsetSeconds = 0;
};

enum class RunOutcome : std::uint8_t {
    none,  // not decided yet
    completed,
    operatorStop,
    uploadFailed,
    notResponding,  // the upload failed at the third failure to respond
    invalidPassword,
    error,
    signal,  // a fatal signal, or the console window closed
};

struct UploadRecord {
    bool begun = false;     // the dialogue with the controller began: the run gets a row
    bool logging = false;   // a log file was chosen (not FIXQRV_LOG=off)
    CalendarTime started;
    Text port;              // "COM3", "\\.\COM12"
    Text device;            // what the port name opened, where it differs (POSIX)
    Text variantAnswer;     // the controller's bytes
    Text fileName;
    std::int64_t fileSize = -1;     // -1: unknown
    std::int64_t linesInFile = -1;  // -1: unknown
    int linesVerified = 0;          // in the last pass
    int passesStarted = 0;
    RunOutcome outcome = RunOutcome::none;
    int errorNumber = 0;            // 0: none
    Text message;                   // as the screen showed it, controller's bytes included
    Text version;
};

extern UploadRecord uploadRecord;

void resetUploadRecord();

// The header row, CR LF included; it opens a new log.
extern const char uploadRecordHeader[];

// "2026-12-10T14:03:22+01:00": local time with its offset, ISO 8601.
inline constexpr std::size_t localTimeLength = 25;
// Writes localTimeLength characters and a NUL. Arithmetic only, so a
// signal handler may call it.
void formatLocalTime(CalendarTime time, char* out);

// Every byte outside printable ASCII as \xHH; at most `limit` bytes of the
// text are shown, "..." telling that more came.
Text visibleBytes(const Text& bytes, std::size_t limit = 256);

// One CSV field: quoted when it holds a comma or a quote, or starts or
// ends with a blank that a reader might trim.
Text csvField(const Text& text);

const char* outcomeWord(RunOutcome outcome);

// The record's row as the run ends at `ended`, CR LF included.
Text uploadRecordRow(CalendarTime ended);

// The row for an end by a signal, ready-made, cut where the end time and
// the message go: beforeEnd + end time + afterEnd + message + afterMessage.
struct SignalRowParts {
    Text beforeEnd;
    Text afterEnd;
    Text afterMessage;
};
SignalRowParts signalRowParts();
