#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "platform/serial/serial_seam.h"

namespace {

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

}  // namespace
