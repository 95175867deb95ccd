// Processor time spent while receiveLine waits on a silent line: the waits
// must sleep in the operating system, not spin. Prints CPU seconds and the
// share of one processor for a 4-second wait on a pseudo-terminal.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>

#include "app/errors.h"
#include "app/program_state.h"
#include "platform/serial/serial_link.h"

namespace {
double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}
}  // namespace

int main() {
    resetProgramState();
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return 1;
    setenv("FIXQRV_COM1", ptsname(master), 1);
    portName = portNameFor(1);
    installHandler(Handler::generalErrorReport);
    openPort();
    configurePort(9600);
    lineTimeout = 4;
    const double cpuBefore = cpuSeconds();
    const auto wallBefore = std::chrono::steady_clock::now();
    receiveLine();
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallBefore).count();
    const double cpu = cpuSeconds() - cpuBefore;
    std::printf("receiveLine on a silent line: %.2f s waited, %.4f s CPU, %.3f%% of a processor\n", wall, cpu,
                100.0 * cpu / wall);
    closePort();
    return 0;
}
