// The knobs of the simulated controller: what it is like when it starts and
// which faults it injects. Filled from the command line (options.h) or by
// tests directly.
#pragma once

#include <optional>
#include <string>

namespace sim {

struct Behaviour {
    // Start-up state.
    bool asleep = false;
    int wakeCrs = 2;         // carriage returns that wake it
    int wakeDelayMs = 0;     // CRs sooner than this after falling asleep do not count
    std::optional<std::string> password;
    bool passwordPromptLine = false;  // "Password: " CR LF instead of a partial line
    int passwordTries = 3;
    bool security = false;
    std::string variant = " 1";  // answer to the variant query

    // Speed of the controller itself.
    int bufferSize = 0;   // input buffer in characters, 0: unlimited
    int processCps = 0;   // characters its interpreter takes per second, 0: at once

    // Line.
    bool baudPacing = false;  // characters per second = rate / 10, both ways
    int latencyMs = 0;        // output released in batches every latencyMs

    // Faults.
    int corruptLine = 0;      // 1-based program line whose echo is spoiled, 0: none
    bool corruptAlways = false;
    bool silent = false;
    std::optional<long> dropAfter;  // received characters before the line drops
};

}  // namespace sim
