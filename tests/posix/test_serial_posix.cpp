#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/files/upload_log_seam.h"
#include "platform/serial/serial_seam.h"

// A device double that refuses: while `refusing`, tcsetattr either fails or
// quietly keeps the echo and speeds the device already has.
enum class Refusal { none, fails, keepsOwn };
Refusal refusing = Refusal::none;
// A signal that arrives just as the next setting is made.
int signalAtNextSetting = 0;

extern "C" int tcsetattr(int fd, int action, const termios* modes) noexcept {
    using Real = int (*)(int, int, const termios*);
    static const Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "tcsetattr"));
    if (const int s = signalAtNextSetting) {
        signalAtNextSetting = 0;
        raise(s);
    }
    if (refusing == Refusal::fails) {
        errno = EINVAL;
        return -1;
    }
    if (refusing == Refusal::none) return real(fd, action, modes);
    termios kept = *modes;
    termios current{};
    tcgetattr(fd, &current);
    kept.c_lflag |= current.c_lflag & ECHO;
    cfsetispeed(&kept, cfgetispeed(&current));
    cfsetospeed(&kept, cfgetospeed(&current));
    return real(fd, action, &kept);
}

namespace {

termios modesOf(int fd) {
    termios modes;
    std::memset(&modes, 0, sizeof modes);
    EXPECT_EQ(tcgetattr(fd, &modes), 0);
    return modes;
}

std::string fileText(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// A child process that stays until killed, doing `first` before it waits.
template <typename F>
pid_t childThat(F first) {
    int ready[2];
    if (pipe(ready) != 0) return -1;
    const pid_t pid = fork();
    if (pid == 0) {
        close(ready[0]);
        first();
        if (write(ready[1], "x", 1) != 1) _exit(1);
        for (;;) pause();
    }
    close(ready[1]);
    char byte = 0;
    if (read(ready[0], &byte, 1) != 1) ADD_FAILURE() << "the child did not get ready";
    close(ready[0]);
    return pid;
}

int endOf(pid_t pid, int signalNumber) {
    kill(pid, signalNumber);
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFSIGNALED(status) ? WTERMSIG(status) : -1;
}

// The folder terminal programs keep their UUCP locks in, if writable.
std::string lockFolder() {
    for (const char* folder : {"/run/lock", "/var/lock"}) {
        struct stat info {};
        if (stat(folder, &info) == 0 && S_ISDIR(info.st_mode) && access(folder, W_OK) == 0) return folder;
    }
    return {};
}

// A pseudo-terminal standing in for a serial port, reached as COM3.
class PtyPort : public ::testing::Test {
protected:
    void SetUp() override {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(master, 0);
        ASSERT_EQ(grantpt(master), 0);
        ASSERT_EQ(unlockpt(master), 0);
        slavePath = ptsname(master);
        // A spare slave keeps the pty alive between the port's opens.
        spare = open(slavePath.c_str(), O_RDWR | O_NOCTTY);
        setenv("FIXQRV_COM3", slavePath.c_str(), 1);
    }
    void TearDown() override {
        if (handle.value >= 0) serialSeamClose(handle);
        if (spare >= 0) close(spare);
        if (master >= 0) close(master);
        unsetenv("FIXQRV_COM3");
    }
    std::string readMaster(std::size_t count) {
        std::string got;
        while (got.size() < count) {
            pollfd p{master, POLLIN, 0};
            if (poll(&p, 1, 2000) != 1) break;
            char buffer[64];
            const ssize_t n = read(master, buffer, sizeof buffer);
            if (n <= 0) break;
            got.append(buffer, static_cast<std::size_t>(n));
        }
        return got;
    }
    int waitingAfterArrival(std::size_t expected) {
        int waiting = 0;
        bool lineError = false;
        for (int i = 0; i < 200 && static_cast<std::size_t>(waiting) < expected; ++i) {
            EXPECT_EQ(serialSeamStatus(handle, waiting, lineError), 0);
            usleep(5000);
        }
        EXPECT_FALSE(lineError);
        return waiting;
    }

    int master = -1;
    int spare = -1;
    std::string slavePath;
    SerialHandle handle;
};

TEST_F(PtyPort, EveryByteArrivesUnchangedBothWays) {
    ASSERT_EQ(serialSeamOpen("COM3", handle), 0);
    const std::string controlBytes("\r\n\x11\x13\x03\x08\x7f\x1a\0z", 10);
    ASSERT_EQ(write(master, controlBytes.data(), controlBytes.size()), 10);
    ASSERT_EQ(waitingAfterArrival(controlBytes.size()), 10);
    std::string received;
    for (int i = 0; i < 10; ++i) {
        char byte = 0;
        bool got = false;
        ASSERT_EQ(serialSeamReadByte(handle, byte, got), 0);
        ASSERT_TRUE(got);
        received += byte;
    }
    EXPECT_EQ(received, controlBytes);
    char byte = 0;
    bool got = true;
    EXPECT_EQ(serialSeamReadByte(handle, byte, got), 0);  // nothing more: empty, no wait
    EXPECT_FALSE(got);

    ASSERT_EQ(serialSeamWrite(handle, controlBytes.data(), 10), 0);
    EXPECT_EQ(readMaster(10), controlBytes);
}

// The rest of an echo announced by a hint: every byte as it came, editing
// characters of a line-based driver included, with what follows the line
// end, and bytes already waiting when the CR goes out, a NUL last among them
// (a driver switched to canonical input then would swallow it); and a rest
// that never ends its line still comes in good time.
TEST_F(PtyPort, EchoRestComesWholeWhateverItHolds) {
    ASSERT_EQ(serialSeamOpen("COM3", handle), 0);
    auto collect = [this](std::size_t count) {
        std::string got;
        for (int i = 0; i < 400 && got.size() < count; ++i) {
            int waiting = 0;
            bool lineError = false;
            EXPECT_EQ(serialSeamStatus(handle, waiting, lineError), 0);
            char byte = 0;
            bool read = false;
            if (waiting > 0 && serialSeamReadByte(handle, byte, read) == 0 && read)
                got += byte;
            else
                usleep(5000);
        }
        return got;
    };
    ASSERT_EQ(write(master, "A\0", 2), 2);
    pollfd arrived{spare, POLLIN, 0};
    ASSERT_EQ(poll(&arrived, 1, 2000), 1);
    ASSERT_EQ(serialSeamWrite(handle, "\r", 1), 0);
    serialSeamExpect(handle, 4);
    EXPECT_EQ(collect(2), std::string("A\0", 2));

    const std::string rest("A\0\x7f\x15\x04\x17\x12\x16\x08\x13\r\n>", 13);
    serialSeamExpect(handle, 12);
    ASSERT_EQ(write(master, rest.data(), 5), 5);
    usleep(20000);
    ASSERT_EQ(write(master, rest.data() + 5, rest.size() - 5), static_cast<ssize_t>(rest.size() - 5));
    EXPECT_EQ(collect(rest.size()), rest);

    ASSERT_EQ(serialSeamWrite(handle, "\r", 1), 0);
    serialSeamExpect(handle, 8);
    ASSERT_EQ(write(master, "abc", 3), 3);
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(collect(3), "abc");
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(1));
}

TEST_F(PtyPort, SettingsReadBackAndDtrIsAccepted) {
    ASSERT_EQ(serialSeamOpen("COM3", handle), 0);
    SerialSettings settings;
    settings.baudRate = 19200;
    ASSERT_EQ(serialSeamWriteSettings(handle, settings), 0);
    SerialSettings back;
    ASSERT_EQ(serialSeamReadSettings(handle, back), 0);
    EXPECT_EQ(back.baudRate, 19200);
    EXPECT_EQ(back.dataBits, 8);
    EXPECT_FALSE(back.parityChecking);
    EXPECT_EQ(back.stopBits, 1);
    EXPECT_EQ(serialSeamSetDtr(handle, true), 0);
    EXPECT_EQ(serialSeamRecommendQueueSizes(handle, 128, 65536), 0);
    settings.baudRate = 12345;
    EXPECT_EQ(serialSeamWriteSettings(handle, settings), 5);
}

TEST_F(PtyPort, ExclusiveAndOnlyDevices) {
    ASSERT_EQ(serialSeamOpen("COM3", handle), 0);
    SerialHandle second;
    EXPECT_EQ(serialSeamOpen("COM3", second), 69);  // held
    serialSeamClose(handle);
    handle = SerialHandle{};
    EXPECT_EQ(serialSeamOpen("COM3", handle), 0);  // free again after closing

    char file[] = "/tmp/fixqrv-port-XXXXXX";
    const int fd = mkstemp(file);
    ASSERT_GE(fd, 0);
    close(fd);
    setenv("FIXQRV_COM12", file, 1);
    EXPECT_EQ(serialSeamOpen("\\\\.\\COM12", second), 69);  // a disk file is no port
    unlink(file);
    setenv("FIXQRV_COM12", "/nonexistent/port", 1);
    EXPECT_EQ(serialSeamOpen("\\\\.\\COM12", second), 69);
    unsetenv("FIXQRV_COM12");
}

TEST_F(PtyPort, HangUpIsAnErrorNotSilence) {
    ASSERT_EQ(serialSeamOpen("COM3", handle), 0);
    close(master);
    master = -1;
    int waiting = 0;
    bool lineError = false;
    const int status = serialSeamStatus(handle, waiting, lineError);
    char byte = 0;
    bool got = false;
    const int read = serialSeamReadByte(handle, byte, got);
    EXPECT_TRUE(status != 0 || read != 0) << "a vanished line must not read as an idle one";
    EXPECT_NE(serialSeamWrite(handle, "x", 1), 0);
}

TEST_F(PtyPort, PortFoundIsPutBackOnClosingAndOnSigterm) {
    // A port as another program left it: cooked, 4800 baud, hang-up on close.
    termios found = modesOf(spare);
    found.c_lflag |= ECHO | ICANON;
    found.c_iflag |= ICRNL | IXON | BRKINT;
    found.c_iflag &= ~static_cast<tcflag_t>(IGNBRK);
    found.c_cflag |= HUPCL;
    cfsetispeed(&found, B4800);
    cfsetospeed(&found, B4800);
    ASSERT_EQ(tcsetattr(spare, TCSANOW, &found), 0);
    found = modesOf(spare);

    ASSERT_EQ(serialSeamOpen("COM3", handle), 0);
    SerialSettings settings;
    settings.baudRate = 19200;
    ASSERT_EQ(serialSeamWriteSettings(handle, settings), 0);
    const termios raw = modesOf(spare);
    EXPECT_EQ(raw.c_lflag & (ECHO | ICANON), 0u);
    EXPECT_EQ(raw.c_iflag & (IXON | ICRNL | BRKINT), 0u);
    EXPECT_NE(raw.c_iflag & IGNBRK, 0u);  // a break is no data
    EXPECT_NE(raw.c_cflag & HUPCL, 0u);
    serialSeamClose(handle);
    handle = SerialHandle{};
    termios after = modesOf(spare);
    EXPECT_EQ(std::memcmp(&after, &found, sizeof found), 0);

    // Ended by a signal while it holds the port at 19200, or while it closes it.
    const std::string folder = lockFolder();
    const std::string lock = folder + "/LCK.." + slavePath.substr(slavePath.rfind('/') + 1);
    auto holdAtFullSpeed = [](SerialHandle& held) {
        SerialSettings fast;
        fast.baudRate = 19200;
        if (serialSeamOpen("COM3", held) != 0 || serialSeamWriteSettings(held, fast) != 0) _exit(1);
    };
    auto putBack = [&](int signalNumber) {
        after = modesOf(spare);
        EXPECT_EQ(std::memcmp(&after, &found, sizeof found), 0) << "signal " << signalNumber;
        if (!folder.empty()) {
            EXPECT_NE(access(lock.c_str(), F_OK), 0) << "lock left behind, signal " << signalNumber;
        }
    };
    for (const int signalNumber : {SIGTERM, SIGUSR1}) {
        const pid_t holder = childThat([&] {
            SerialHandle held;
            holdAtFullSpeed(held);
        });
        EXPECT_EQ(cfgetospeed(&(after = modesOf(spare))), static_cast<speed_t>(B19200));
        if (!folder.empty()) {
            EXPECT_EQ(access(lock.c_str(), F_OK), 0);
        }
        EXPECT_EQ(endOf(holder, signalNumber), signalNumber);
        putBack(signalNumber);

        // Another comes as the port is put back in closing.
        const pid_t closer = fork();
        if (closer == 0) {
            SerialHandle held;
            holdAtFullSpeed(held);
            signalAtNextSetting = signalNumber;
            serialSeamClose(held);
            _exit(0);
        }
        EXPECT_EQ(endOf(closer, 0), signalNumber);
        putBack(signalNumber);
    }
}

// The port closed and opened again (as before each try to reach the
// controller) after the upload log has its row ready: a signal then still
// puts the port and its lock back, writes the row once, and ends the run.
TEST_F(PtyPort, SignalAfterThePortWasOpenedAgainPutsEverythingBack) {
    const termios found = modesOf(spare);
    char folder[] = "/tmp/fixqrv-log-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    const std::string log = std::string(folder) + "/uploads.csv";
    const pid_t child = childThat([&] {
        setenv("FIXQRV_LOG", log.c_str(), 1);
        SerialHandle held;
        SerialSettings fast;
        fast.baudRate = 19200;
        if (serialSeamOpen("COM3", held) != 0 || !uploadLogChooseFile()) _exit(1);
        uploadLogPrepareFatalEnd("header\r\n", SignalRowParts{"start,", ",row,", "\r\n"}, 0);
        serialSeamClose(held);
        if (serialSeamOpen("COM3", held) != 0 || serialSeamWriteSettings(held, fast) != 0) _exit(1);
    });
    EXPECT_EQ(endOf(child, SIGTERM), SIGTERM);
    const termios after = modesOf(spare);
    EXPECT_EQ(std::memcmp(&after, &found, sizeof found), 0);
    const std::string folderOfLocks = lockFolder();
    if (!folderOfLocks.empty()) {
        EXPECT_NE(access((folderOfLocks + "/LCK.." + slavePath.substr(slavePath.rfind('/') + 1)).c_str(), F_OK), 0);
    }
    const std::string row = fileText(log);
    EXPECT_EQ(row.rfind("header\r\nstart,", 0), 0u) << row;
    EXPECT_NE(row.find(",row,SIGTERM\r\n"), std::string::npos) << row;
    EXPECT_EQ(row.find("start,", row.find("start,") + 1), std::string::npos) << "more than one row: " << row;
    unlink(log.c_str());
    rmdir(folder);
}

TEST_F(PtyPort, LockFilesAndOtherHoldersKeepThePort) {
    const std::string folder = lockFolder();
    if (folder.empty()) GTEST_SKIP() << "no writable lock folder";
    const std::string lock = folder + "/LCK.." + slavePath.substr(slavePath.rfind('/') + 1);
    auto writeLock = [&](pid_t pid) {
        std::FILE* out = std::fopen(lock.c_str(), "w");
        ASSERT_NE(out, nullptr);
        std::fprintf(out, "%10d\n", static_cast<int>(pid));
        std::fclose(out);
    };

    // A terminal program's live lock: left alone.
    const pid_t live = childThat([] {});
    writeLock(live);
    const std::string liveText = fileText(lock);
    EXPECT_EQ(serialSeamOpen("COM3", handle), 69);
    EXPECT_EQ(fileText(lock), liveText);
    endOf(live, SIGKILL);

    // Its process is gone now: the stale lock is taken, then removed.
    ASSERT_EQ(serialSeamOpen("COM3", handle), 0);
    char ours[16];
    std::snprintf(ours, sizeof ours, "%10d\n", static_cast<int>(getpid()));
    EXPECT_EQ(fileText(lock), ours);
    SerialHandle second;
    EXPECT_EQ(serialSeamOpen("COM3", second), 69);  // the same process again
    EXPECT_EQ(fileText(lock), ours);
    serialSeamClose(handle);
    handle = SerialHandle{};
    EXPECT_NE(access(lock.c_str(), F_OK), 0);

    // A program that opened the device without any lock.
    const pid_t holder = childThat([this] {
        close(master);  // only the far end holds the master
        close(spare);
        if (open(slavePath.c_str(), O_RDWR | O_NOCTTY) < 0) _exit(1);
    });
    EXPECT_EQ(serialSeamOpen("COM3", handle), 69);
    EXPECT_NE(access(lock.c_str(), F_OK), 0);
    endOf(holder, SIGKILL);
    EXPECT_EQ(serialSeamOpen("COM3", handle), 0);
}

TEST_F(PtyPort, RefusedSettingIsErrorFive) {
    const termios found = modesOf(spare);
    refusing = Refusal::keepsOwn;
    EXPECT_EQ(serialSeamOpen("COM3", handle), 5);  // raw mode not taken: echo stays on
    refusing = Refusal::none;
    termios after = modesOf(spare);
    EXPECT_EQ(std::memcmp(&after, &found, sizeof found), 0);
    handle = SerialHandle{};

    ASSERT_EQ(serialSeamOpen("COM3", handle), 0);
    SerialSettings settings;
    settings.baudRate = 19200;
    refusing = Refusal::keepsOwn;
    EXPECT_EQ(serialSeamWriteSettings(handle, settings), 5);  // speed kept
    refusing = Refusal::fails;
    EXPECT_EQ(serialSeamWriteSettings(handle, settings), 5);
    refusing = Refusal::none;
    EXPECT_EQ(serialSeamWriteSettings(handle, settings), 0);
}

}  // namespace
