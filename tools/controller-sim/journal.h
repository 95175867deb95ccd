// What the simulated controller saw and did, kept as timestamped entries so
// that the I/O loop can write them to the log and tests can read them.
//
// The log (--log) has one entry a line, "<seconds>.<ms> <tag> <text>", the
// time counted from the simulator's start and the text escaped:
//   port PATH                 the port's path (first line)
//   rate BAUD                 rate the PC side has set, read back when bytes arrive
//   rx TEXT                   bytes received up to a CR (the CR not shown),
//                             exactly as they came, backspaces included
//   rx-unended TEXT           bytes after the last CR when the run ended
//   ctrl ^C | XOFF | XON      control byte received
//   flow XOFF | XON           the controller pacing the PC (input buffer)
//   overrun C                 character lost to a full input buffer
//   program TEXT              numbered line stored (also written to --received)
//   speed BAUD                the controller's own rate changed
//   mismatch pc A controller B  bytes arrived while the two rates differed
//   corrupt program line K, break TEXT, wake, sleep, login ..., run N lines,
//   finished, drop after N characters
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

// Simulated time: microseconds since the simulator started.
using Micros = std::int64_t;

struct JournalEntry {
    Micros at = 0;
    std::string tag;   // one word: rx, ctrl, rate, program, wake, ...
    std::string text;  // raw bytes; escaped when formatted
};

class Journal {
public:
    void note(Micros at, std::string_view tag, std::string_view text = {});
    std::vector<JournalEntry> take();

private:
    std::vector<JournalEntry> entries_;
};

// Printable ASCII stays as it is; a backslash becomes "\\" and every other
// byte "\xHH", so a log line never holds a control byte.
std::string escapeBytes(std::string_view bytes);

// "<seconds>.<milliseconds> <tag> <escaped text>" without a line end.
std::string formatEntry(const JournalEntry& entry);

}  // namespace sim
