// The console on a real terminal (a pseudo-terminal), in a child process
// whose standard streams are that terminal.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "platform/console/console.h"

namespace {

// Output is gathered and written once per wait: whatever was printed must
// still be on the terminal while the program waits.
TEST(ConsoleOnTerminal, PrintedTextIsShownBeforeTheProgramWaits) {
    winsize size{};
    size.ws_col = 80;
    size.ws_row = 25;
    int master = -1;
    const pid_t child = forkpty(&master, nullptr, nullptr, &size);
    ASSERT_GE(child, 0);
    if (child == 0) {
        prepareConsole();
        setScreenSize(80, 24);
        printText("Z");    // no sequence drawn before it holds a Z
        waitForKey(5000);  // nothing is typed: the wait runs its course
        _exit(0);
    }
    std::string shown;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (shown.find('Z') == std::string::npos && std::chrono::steady_clock::now() < end) {
        pollfd p{master, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0) continue;
        char buffer[4096];
        const ssize_t n = read(master, buffer, sizeof buffer);
        if (n <= 0) break;
        shown.append(buffer, static_cast<std::size_t>(n));
    }
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    close(master);
    EXPECT_NE(shown.find('Z'), std::string::npos) << "the text waited with the program";
}

}  // namespace
