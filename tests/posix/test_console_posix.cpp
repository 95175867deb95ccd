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

// What a child process writes on a fresh pseudo-terminal of the given size
// while it runs `body`, read as it comes: all of it, or up to the moment
// `enough` holds or `seconds` have passed.
template <typename Body, typename Enough>
std::string terminalOutput(int columns, int rows, Body body, Enough enough, int seconds = 30) {
    winsize size{};
    size.ws_col = static_cast<unsigned short>(columns);
    size.ws_row = static_cast<unsigned short>(rows);
    int master = -1;
    const pid_t child = forkpty(&master, nullptr, nullptr, &size);
    if (child < 0) return {};
    if (child == 0) {
        body();
        _exit(0);
    }
    std::string shown;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!enough(shown) && std::chrono::steady_clock::now() < end) {
        pollfd p{master, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0) {
            if (waitpid(child, nullptr, WNOHANG) == child) break;
            continue;
        }
        char buffer[65536];
        const ssize_t n = read(master, buffer, sizeof buffer);
        if (n <= 0) break;
        shown.append(buffer, static_cast<std::size_t>(n));
    }
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    close(master);
    return shown;
}

// Text that runs on past the bottom row scrolls the terminal and sends the
// new row, rather than the whole screen again: a long line over a slow link
// costs a few bytes per character, even drawn at every character.
TEST(ConsoleOnTerminal, TextRunningPastTheBottomCostsFewBytesPerCharacter) {
    constexpr int printed = 16000;
    for (const int rows : {24, 25}) {
        auto upload = [] {
            prepareConsole();
            setColors(14, 1);
            setScreenSize(80, 24);
            moveCursor(24, 1);
            waitForKey(0);
            for (int i = 0; i < printed; ++i) {
                printText(Text(1, static_cast<char>('A' + i % 26)));
                waitForKey(0);  // the terminal is brought up to date
            }
            restoreConsole(EndKind::closing);
        };
        const std::size_t bytes = terminalOutput(80, rows, upload, [](const std::string&) { return false; }).size();
        EXPECT_LT(static_cast<double>(bytes) / printed, 3.0) << bytes << " bytes on a terminal of " << rows << " rows";
    }
}

// Output is gathered and written once per wait: whatever was printed must
// still be on the terminal while the program waits.
TEST(ConsoleOnTerminal, PrintedTextIsShownBeforeTheProgramWaits) {
    auto program = [] {
        prepareConsole();
        setScreenSize(80, 24);
        printText("Z");    // no sequence drawn before it holds a Z
        waitForKey(5000);  // nothing is typed: the wait runs its course
    };
    auto seen = [](const std::string& shown) { return shown.find('Z') != std::string::npos; };
    EXPECT_TRUE(seen(terminalOutput(80, 25, program, seen, 2))) << "the text waited with the program";
}

}  // namespace
