// Signals and the command the simulator runs against its port.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace sim {

// Read end of a pipe that becomes readable when a signal arrives, so the
// poll loop wakes up for it. With a command running, Ctrl-C and Ctrl-\ from
// the terminal are left to the command (as system() does) and SIGTERM and
// SIGHUP are passed on to it; otherwise they ask the simulator to stop.
int installSignalPipe();
void drainSignalPipe(int fd);
bool stopRequested();

// Starts `command` with FIXQRV_COM<port>=<path> added to the environment;
// it inherits this process's terminal. -1 when fork fails.
pid_t startCommand(const std::vector<std::string>& command, int port, const std::string& path);

// The command's exit code once it has ended (128 + signal when killed).
std::optional<int> reapChild(pid_t child);

}  // namespace sim
