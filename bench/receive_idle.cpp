// Processor time spent while receiveLine waits on a silent line: the waits
// must sleep in the operating system, not spin, also while a key the
// operator typed sits unread. Prints CPU seconds and the share of one
// processor for a 4-second wait on a pseudo-terminal, without and with a
// pending key (the keyboard is a second pseudo-terminal on standard input).
#include <fcntl.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>

#include "runtime/errors.h"
#include "runtime/program_state.h"
#include "platform/serial/serial_link.h"

namespace {
double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

int openPseudoTerminal() {
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return -1;
    return master;
}

void measureWait(const char* what) {
    lineTimeout = 4;
    const double cpuBefore = cpuSeconds();
    const auto wallBefore = std::chrono::steady_clock::now();
    receiveLine();
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallBefore).count();
    const double cpu = cpuSeconds() - cpuBefore;
    std::printf("receiveLine on a silent line, %s: %.2f s waited, %.4f s CPU, %.3f%% of a processor\n", what,
                wall, cpu, 100.0 * cpu / wall);
}
}  // namespace

int main() {
    resetProgramState();
    const int keyboard = openPseudoTerminal();
    const int keyboardSide = keyboard < 0 ? -1 : open(ptsname(keyboard), O_RDWR | O_NOCTTY);
    termios raw{};
    if (keyboardSide < 0 || tcgetattr(keyboardSide, &raw) != 0) return 1;
    cfmakeraw(&raw);
    tcsetattr(keyboardSide, TCSANOW, &raw);
    dup2(keyboardSide, STDIN_FILENO);

    const int master = openPseudoTerminal();
    if (master < 0) return 1;
    setenv("FIXQRV_COM1", ptsname(master), 1);
    portName = portNameFor(1);
    installHandler(Handler::generalErrorReport);
    openPort();
    configurePort(9600);
    measureWait("no key typed");
    if (write(keyboard, "x", 1) != 1) return 1;
    measureWait("one key typed and pending");
    closePort();
    return 0;
}
