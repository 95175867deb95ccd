// The portable link over the real POSIX seams, a pseudo-terminal as port.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "platform/serial/serial_link.h"
#include "runtime/errors.h"
#include "runtime/program_state.h"

namespace {

class LinkOnPty : public ::testing::Test {
protected:
    void SetUp() override {
        resetProgramState();
        master = posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(master, 0);
        ASSERT_EQ(grantpt(master), 0);
        ASSERT_EQ(unlockpt(master), 0);
        spare = open(ptsname(master), O_RDWR | O_NOCTTY);
        setenv("FIXQRV_COM7", ptsname(master), 1);
        portName = portNameFor(7);
        installHandler(Handler::generalErrorReport);
        openPort();
        configurePort(9600);
    }
    void TearDown() override {
        installHandler(Handler::none);
        closePort();
        if (spare >= 0) close(spare);
        if (master >= 0) close(master);
        unsetenv("FIXQRV_COM7");
    }
    int master = -1;
    int spare = -1;
};

TEST_F(LinkOnPty, SendAndReceiveALine) {
    sendText("X");
    char echo = 0;
    ASSERT_EQ(read(master, &echo, 1), 1);
    EXPECT_EQ(echo, 'X');
    ASSERT_EQ(write(master, "READY\r\n>", 8), 8);
    lineTimeout = 2;
    receiveLine();
    EXPECT_EQ(replyLine, "READY");
    EXPECT_EQ(gotLine, 1);
    receiveLine();  // the prompt comes without a line end
    EXPECT_EQ(replyLine, ">");
    EXPECT_EQ(gotLine, 0);
}

TEST_F(LinkOnPty, LineDroppingMidReadEndsWithAnErrorNotAHang) {
    ASSERT_EQ(write(master, "REA", 3), 3);
    std::thread dropper([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        close(master);
        close(spare);
        master = spare = -1;
    });
    lineTimeout = 30;
    const auto started = std::chrono::steady_clock::now();
    int number = 0;
    try {
        receiveLine();
    } catch (const ErrorJump& jump) {
        number = jump.number;
        EXPECT_EQ(jump.handler, Handler::generalErrorReport);
    }
    dropper.join();
    EXPECT_NE(number, 0);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
}

// A controller whose echo ends in CR alone, or not at all: the rest of the
// echo is waited for as a line, but the wait must not outlast that.
TEST_F(LinkOnPty, EchoRestWithoutLfIsReadSoonAfterItsTime) {
    for (const std::string rest : {"ab\r>", "ab"}) {
        expectBytes(12);
        ASSERT_EQ(write(master, rest.data(), rest.size()), static_cast<ssize_t>(rest.size()));
        const auto started = std::chrono::steady_clock::now();
        ASSERT_TRUE(waitReplyChar());
        EXPECT_EQ(lastChar, "a");
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(500));
        drainInput();
    }
}

}  // namespace
