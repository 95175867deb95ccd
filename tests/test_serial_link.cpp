#include <cmath>
#include <string>

#include "support/program_fixture.h"

namespace {

class SerialLinkTest : public ProgramTest {
protected:
    void SetUp() override {
        ProgramTest::SetUp();
        openAttachedPort();
    }

    // The error number a step raises with generalErrorReport in force.
    template <typename F>
    static int errorOf(F&& step) {
        try {
            step();
        } catch (const ErrorJump& jump) {
            return jump.number;
        }
        return 0;
    }
};

TEST(PortName, PrefixChangesAtTen) {
    resetProgramState();
    EXPECT_EQ(portNameFor(1), "COM1");
    EXPECT_EQ(portNameFor(9), "COM9");
    EXPECT_EQ(portNameFor(10), "\\\\.\\COM10");
    EXPECT_EQ(portNameFor(10).size(), 9u);
    EXPECT_EQ(portNameFor(256), "\\\\.\\COM256");
}

TEST_F(SerialLinkTest, OpeningFailsWithSixtyNine) {
    closePort();
    closePort();  // twice is harmless
    EXPECT_FALSE(portIsOpen());
    portName = "COM4";
    EXPECT_EQ(errorOf(openPort), 69);  // no such device
    fake::holdPort("COM5");
    portName = "COM5";
    EXPECT_EQ(errorOf(openPort), 69);  // held by another program
    EXPECT_FALSE(portIsOpen());
}

TEST_F(SerialLinkTest, ConfigureAppliesSevenSettingsInOrder) {
    configurePort(9600);
    const auto settings = fake::settingsWritten();
    ASSERT_EQ(settings.size(), 4u);  // baud, data bits, parity, stop bits
    EXPECT_EQ(settings[0].baudRate, 9600);
    EXPECT_EQ(settings[1].dataBits, 8);
    EXPECT_FALSE(settings[2].parityChecking);
    EXPECT_EQ(settings[3].stopBits, 1);
    const auto queues = fake::queueRecommendations();
    ASSERT_EQ(queues.size(), 2u);
    EXPECT_EQ(queues[0], (std::pair<int, int>{128, 4096}));   // receive size kept
    EXPECT_EQ(queues[1], (std::pair<int, int>{128, 65536}));  // transmit size kept
    EXPECT_TRUE(fake::dtrOn());

    setBaudRate(19200);
    ASSERT_EQ(fake::settingsWritten().size(), 5u);
    EXPECT_EQ(fake::settingsWritten().back().baudRate, 19200);
    EXPECT_EQ(fake::settingsWritten().back().dataBits, 8);

    fake::refuseSettings(true);
    EXPECT_EQ(errorOf([] { setBaudRate(9600); }), 5);
}

TEST_F(SerialLinkTest, CommandLineGoesOutOneCharacterPerWriteShownOnRowSix) {
    moveCursor(6, 1);
    printText("old text on row six");
    commandText = "";
    sendCommandLine();
    EXPECT_EQ(fake::writes(), (std::vector<std::string>{"\r"}));
    EXPECT_EQ(row(6), "");
    EXPECT_EQ(cursorRow(), 6);

    commandText = "RUN";
    sendCommandLine();
    EXPECT_EQ(fake::writes(), (std::vector<std::string>{"\r", "R", "U", "N", "\r"}));
    EXPECT_EQ(row(6), "RUN");
    EXPECT_EQ(commandText, "RUN\r");
}

TEST_F(SerialLinkTest, ReceiveLineRules) {
    lineTimeout = 1;
    fake::controllerSends("READY\r\n");
    receiveLine();
    EXPECT_EQ(replyLine, "READY");
    EXPECT_EQ(gotLine, 1);

    fake::controllerSends("\n");
    receiveLine();
    EXPECT_EQ(replyLine, "");
    EXPECT_EQ(gotLine, 1);

    fake::controllerSends(std::string("a\x13\x11z\r\n"));
    receiveLine();
    EXPECT_EQ(replyLine, "a\x13\x11z");  // XOFF and XON are data here

    moveCursor(10, 1);
    fake::controllerSends("ab\bc\n");
    receiveLine();
    EXPECT_EQ(replyLine, "ab\bc");
    EXPECT_EQ(screenRowText(10).substr(0, 3), "\x1d \x1d");
}

TEST_F(SerialLinkTest, PartialLineAtTheLimit) {
    lineTimeout = 2;
    fake::controllerSends("READY\r");
    const double called = fake::now();
    receiveLine();
    EXPECT_EQ(replyLine, "READY");
    EXPECT_EQ(gotLine, 0);
    EXPECT_GE(fake::now() - called, 1.5);
    EXPECT_LE(fake::now() - called, 2.5);

    // A reply still arriving when the limit passes ends the call at its
    // next pause; the rest waits for the next call.
    lineTimeout = 1;
    fake::controllerSends("abc", fake::now() + 0.5);
    fake::controllerSends("def\r\n", fake::now() + 1.8);
    receiveLine();
    EXPECT_EQ(replyLine, "abc");
    EXPECT_EQ(gotLine, 0);
    receiveLine();
    EXPECT_EQ(replyLine, "def");
    EXPECT_EQ(gotLine, 1);
}

class ReceiveLimit : public SerialLinkTest, public ::testing::WithParamInterface<double> {};

TEST_P(ReceiveLimit, OneSecondEndsBetweenHalfAndOneAndAHalf) {
    fake::advance(GetParam());
    lineTimeout = 1;
    const double called = fake::now();
    receiveLine();
    EXPECT_EQ(gotLine, 0);
    EXPECT_GE(fake::now() - called, 0.5);
    EXPECT_LE(fake::now() - called, 1.5);
}

INSTANTIATE_TEST_SUITE_P(Offsets, ReceiveLimit, ::testing::Values(0.0, 0.2, 0.49, 0.5, 0.51, 0.9),
                         [](const ::testing::TestParamInfo<double>& info) {
                             return "After" + std::to_string(std::lround(info.param * 1000)) + "ms";
                         });

TEST_F(SerialLinkTest, LineErrorRaisesFiftySevenOnceThenTheCountComes) {
    fake::controllerSends("abc");
    fake::lineErrorOnNextStatus();
    EXPECT_EQ(errorOf(bytesWaiting), 57);
    EXPECT_EQ(bytesWaiting(), 3);

    installHandler(Handler::none);  // dropped: reads as nothing waiting
    fake::lineErrorOnNextStatus();
    EXPECT_EQ(bytesWaiting(), 0);
    EXPECT_EQ(bytesWaiting(), 3);
}

TEST_F(SerialLinkTest, LineErrorWhileRecoveringKeepsTheLine) {
    fake::controllerSends("REA");
    fake::controllerSends("DY\r\n", 0.3);
    lineTimeout = 1;
    fake::addWakeSource([] {
        if (fake::now() >= 0.1 && fake::now() < 0.2) fake::lineErrorOnNextStatus();
        return fake::now() < 0.15 ? 0.15 : -1.0;
    });
    receiveLine();
    EXPECT_EQ(replyLine, "READY");
    EXPECT_EQ(gotLine, 1);
}

TEST_F(SerialLinkTest, WaitReplyChar) {
    fake::controllerSends("A");
    EXPECT_TRUE(waitReplyChar());
    EXPECT_EQ(lastCode, 65);
    EXPECT_EQ(fake::now(), 0.0);  // taken at once
    EXPECT_EQ(handlerInForce(), Handler::generalErrorReport);

    for (double offset : {0.0, 0.3, 0.5, 0.7}) {
        fake::advance(offset);
        const double called = fake::now();
        EXPECT_FALSE(waitReplyChar());
        EXPECT_GT(fake::now() - called, 4.5);
        EXPECT_LT(fake::now() - called, 5.5);
    }
}

TEST_F(SerialLinkTest, DrainLeavesNothingAndKeepsTheLastCharacter) {
    fake::controllerSends("xyz");
    drainInput();
    EXPECT_EQ(bytesWaiting(), 0);
    EXPECT_EQ(lastChar, "z");
    EXPECT_EQ(handlerInForce(), Handler::readRecovery);
}

TEST_F(SerialLinkTest, ReadsThatKeepFailingEndInTheReport) {
    fake::controllerSends("x");
    fake::failReads(57);
    try {
        readChar();
        FAIL() << "readChar never gave up";
    } catch (const ErrorJump& jump) {
        EXPECT_EQ(jump.number, 57);
        EXPECT_EQ(jump.handler, Handler::generalErrorReport);
    }
}

TEST_F(SerialLinkTest, FailedWriteIsSixtyNine) {
    fake::failWrites(true);
    EXPECT_EQ(errorOf([] { sendText("x"); }), 69);
    installHandler(Handler::none);
    sendText("x");  // dropped
    EXPECT_EQ(lastErrorNumber(), 69);
    closePort();
    installHandler(Handler::generalErrorReport);
    EXPECT_EQ(errorOf([] { sendText("x"); }), 52);
}

}  // namespace
