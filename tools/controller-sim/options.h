// Command line of fixqrv-sim.
#pragma once

#include <string>
#include <vector>

#include "tools/controller-sim/behaviour.h"

namespace sim {

struct SimOptions {
    Behaviour behaviour;
    bool printPath = false;
    bool exitAfterUpload = false;
    bool help = false;
    int port = 3;
    std::string logPath;
    std::string receivedPath;
    std::vector<std::string> command;  // after "--"
};

struct ParsedOptions {
    SimOptions options;
    std::string error;  // empty when the command line is good
};

// `args` without the program name. Options take "--name value" or
// "--name=value".
ParsedOptions parseOptions(const std::vector<std::string>& args);

std::string usageText();

}  // namespace sim
