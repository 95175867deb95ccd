// The least time an upload needs on the simulated line: an ideal sender
// that reacts at once, played against the simulator's controller model in
// virtual time. The benchmarks and the USB-adapter tests measure FixQRV's
// upload time against it.
#pragma once

#include <string>
#include <vector>

#include "tools/controller-sim/behaviour.h"

namespace sim {

// Seconds from the first program line the controller stores to the last,
// for `lines` sent after the speed switch to 19200, as FixQRV sends: the
// first character of a line, then the rest once anything has come back
// since the line began (its echo, or the prompt after the line before),
// then the echo up to its LF.
double leastUploadSeconds(const std::vector<std::string>& lines, const Behaviour& behaviour);

}  // namespace sim
