// The simulator's I/O loop: the pseudo-terminal, the command it runs, the
// log files and a real clock around the Controller state machine. Every
// wait blocks in poll() until the port, a signal or the controller's next
// due time.
#pragma once

#include "tools/controller-sim/options.h"

namespace sim {

// Runs the simulator as the options say; returns the process exit code.
int serve(const SimOptions& options);

}  // namespace sim
