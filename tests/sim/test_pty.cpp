// The real program on a real pseudo-terminal: the port it prints can be
// opened and answers, a command gets the port in its environment, the line
// drop is a hang-up, and --exit-after-upload ends the run.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kPatienceMs = 5000;  // generous: nothing here should take long

int msLeft(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return static_cast<int>(std::max<long long>(0, left.count()));
}

// fixqrv-sim with its stdout on a pipe.
struct SimProcess {
    pid_t pid = -1;
    int out = -1;

    explicit SimProcess(std::vector<std::string> args) {
        int fds[2];
        if (pipe(fds) != 0) return;
        args.insert(args.begin(), FIXQRV_SIM_BIN);
        pid = fork();
        if (pid == 0) {
            dup2(fds[1], 1);
            std::vector<char*> argv;
            for (auto& a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(fds[1]);
        out = fds[0];
    }

    ~SimProcess() {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        if (out >= 0) close(out);
    }

    // Everything up to the first line end on its stdout.
    std::string firstLine() {
        std::string line;
        const auto deadline = Clock::now() + std::chrono::milliseconds(kPatienceMs);
        char c = 0;
        pollfd p{out, POLLIN, 0};
        while (poll(&p, 1, msLeft(deadline)) > 0 && read(out, &c, 1) == 1 && c != '\n') line += c;
        return line;
    }

    // Exit code, or -1 when it has not ended within the patience.
    int waitExit() {
        const auto deadline = Clock::now() + std::chrono::milliseconds(kPatienceMs);
        int status = 0;
        while (waitpid(pid, &status, WNOHANG) == 0) {
            if (msLeft(deadline) == 0) return -1;
            poll(nullptr, 0, 20);
        }
        pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
};

int openPort(const std::string& path) {
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY);
    termios t{};
    if (fd >= 0 && tcgetattr(fd, &t) == 0) {
        cfmakeraw(&t);
        tcsetattr(fd, TCSANOW, &t);
    }
    return fd;
}

void sendSlowly(int fd, const std::string& text) {
    for (char c : text) ASSERT_EQ(write(fd, &c, 1), 1);
}

// Reads until `want` has been seen, the line hangs up or patience runs out.
std::string readUntil(int fd, const std::string& want, bool* hungUp = nullptr) {
    std::string got;
    const auto deadline = Clock::now() + std::chrono::milliseconds(kPatienceMs);
    pollfd p{fd, POLLIN, 0};
    while (got.find(want) == std::string::npos && poll(&p, 1, msLeft(deadline)) > 0) {
        char buffer[64];
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0) {
            if (hungUp) *hungUp = true;
            break;
        }
        got.append(buffer, static_cast<std::size_t>(n));
    }
    return got;
}

std::string fileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string tempPath(const char* name) {
    return ::testing::TempDir() + "fixqrv_sim_" + std::to_string(getpid()) + "_" + name;
}

TEST(RealPty, EchoAndPromptComeBackThroughThePrintedPort) {
    const std::string log = tempPath("echo.log");
    SimProcess sim({"--print-path", "--log", log});
    const std::string path = sim.firstLine();
    ASSERT_FALSE(path.empty());
    const int fd = openPort(path);
    ASSERT_GE(fd, 0) << path;
    sendSlowly(fd, "X\r");
    EXPECT_EQ(readUntil(fd, ">"), "X\r\n>");
    close(fd);
    // FixQRV closes and reopens the port for every attempt.
    const int again = openPort(path);
    ASSERT_GE(again, 0);
    sendSlowly(again, "\x03");
    EXPECT_EQ(readUntil(again, "READY\r\n>"), "\r\nBREAK\r\nREADY\r\n>");
    close(again);
    kill(sim.pid, SIGTERM);
    EXPECT_EQ(sim.waitExit(), 0);
    const std::string journal = fileText(log);
    EXPECT_NE(journal.find(" rx X\n"), std::string::npos) << journal;
    EXPECT_NE(journal.find(" ctrl ^C\n"), std::string::npos) << journal;
}

TEST(RealPty, CommandGetsThePortAndItsExitCodeIsPassedOn) {
    SimProcess sim({"--port", "7", "--", "/bin/sh", "-c",
                    "test -c \"$FIXQRV_COM7\" && echo \"$FIXQRV_COM7\" && exit 5"});
    EXPECT_EQ(sim.firstLine().rfind("/dev/", 0), 0u);
    EXPECT_EQ(sim.waitExit(), 5);
}

TEST(RealPty, DroppedLineHangsUpTheReader) {
    SimProcess sim({"--print-path", "--drop-after", "3"});
    const int fd = openPort(sim.firstLine());
    ASSERT_GE(fd, 0);
    sendSlowly(fd, "ABC");
    bool hungUp = false;
    readUntil(fd, "never", &hungUp);
    EXPECT_TRUE(hungUp);
    // The reader learns of the closed master a moment before the kernel has
    // finished hanging up the slave: writes fail from then on.
    char c = 'D';
    ssize_t written = 0;
    for (int i = 0; i < 100 && (written = write(fd, &c, 1)) != -1; ++i) usleep(1000);
    EXPECT_EQ(written, -1);
    close(fd);
    EXPECT_EQ(sim.waitExit(), 0);
}

TEST(RealPty, ExitsAfterTheClosingExchangeOnceThePortIsClosed) {
    const std::string received = tempPath("received.bas");
    SimProcess sim({"--print-path", "--exit-after-upload", "--received", received});
    const int fd = openPort(sim.firstLine());
    ASSERT_GE(fd, 0);
    sendSlowly(fd, "10 REM A\r20 GOTO 10\r");
    readUntil(fd, "20 GOTO 10\r\n>");
    sendSlowly(fd, "RUN\r");
    readUntil(fd, "LOGGING STARTED\r\n");
    sendSlowly(fd, "M\r");
    readUntil(fd, "SELECT: ");
    sendSlowly(fd, "10\r");
    readUntil(fd, "RESUMED\r\n");
    close(fd);
    EXPECT_EQ(sim.waitExit(), 0);
    EXPECT_EQ(fileText(received), "10 REM A\r\n20 GOTO 10\r\n");
}

}  // namespace
