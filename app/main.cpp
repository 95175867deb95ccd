#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "app/command_line.h"
#include "app/main_flow.h"

namespace {

// A standard descriptor that was closed at start would be handed to the
// next file opened, and the serial port would become the keyboard or the
// screen: each gets /dev/null before anything else is opened.
void occupyStandardDescriptors() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
    }
}

}  // namespace

int main(int argc, char** argv) {
    occupyStandardDescriptors();
    return runProgram(commandLineFromArguments(argc, argv));
}
