// The controller dialogue against a scripted controller: prompt detection,
// the speed switch, the failure paths, wake-up, password and the error report.
#include <string>

#include "controller/prompt.h"
#include "controller/wake.h"
#include "ends/error_reports.h"
#include "ends/failure_paths.h"
#include "support/controller_script.h"
#include "support/program_fixture.h"

namespace {

class DialogueTest : public ProgramTest {
protected:
    void SetUp() override {
        ProgramTest::SetUp();
        attachController();
    }
    static bool screenShows(const std::string& text) {
        for (int r = 1; r <= screenRows(); ++r)
            if (screenRowText(r).find(text) != std::string::npos) return true;
        return false;
    }
};

TEST_F(DialogueTest, FindsReadyAndSwitchesTo19200OnTheSecondCheck) {
    fake::playController();
    checkPrompt();
    EXPECT_EQ(speedMode, 0);
    EXPECT_EQ(fake::sentBytes(), "\x13\x03");
    EXPECT_EQ(row(1), "Checking for READY > Prompt...");
    speedMode = 1;
    checkPrompt();
    EXPECT_EQ(speedMode, 2);
    EXPECT_EQ(fake::receivedLines().back(), "TIMER1=65524");
    EXPECT_EQ(fake::settingsWritten().back().baudRate, 19200);
    EXPECT_EQ(row(6), "TIMER1=65524");
}

TEST_F(DialogueTest, OnlyExactPromptTextsCount) {
    fake::ControllerScript script;
    script.breakReply = "\r\nREADY \r\nready\r\n> \r\nREADY\r\n";
    fake::playController(script);
    checkPrompt();
    EXPECT_EQ(replyLine, "READY");
    EXPECT_EQ(failureCount, 0);
}

TEST_F(DialogueTest, FortyRepliesWithoutPromptThreeTimesEndsTheRun) {
    fake::ControllerScript script;
    script.breakReply.clear();
    for (int i = 0; i < 45; ++i) script.breakReply += "NOISE\r\n";
    fake::playController(script);
    fake::pressKey("\r", 1000);
    fake::captureAtNextWait("Press Enter.");
    const RunEnd end = endOf(checkPrompt);
    EXPECT_EQ(end.kind, EndKind::closing);
    EXPECT_EQ(failureCount, 3);
    EXPECT_EQ(fake::openCount(), 3);  // first check and two re-checks
    EXPECT_EQ(fake::capturedRow(1), "Checking for READY > Prompt...");
    EXPECT_EQ(fake::capturedRow(2), "KTX or RVB NOT PROPERLY RESPONDING!");
    EXPECT_EQ(fake::capturedRow(3), "  Check cables or COMM ports and retry.");
    EXPECT_EQ(fake::capturedRow(8), "NOISE");
    EXPECT_EQ(fake::capturedRow(9), "QRV.BAS UPLOAD FAILED!  KTX or RVB not responding, not connected, or");
    EXPECT_EQ(fake::capturedRow(10), "incorrect COM port specified.  Check and retry.");
    EXPECT_EQ(fake::capturedRow(11), "Press Enter.");
}

TEST_F(DialogueTest, ThirdFailureInALaterPhaseEndsTheRun) {
    fake::playController();
    failureCount = 2;
    fake::endKeyboard();
    installHandler(Handler::generalErrorReport);
    EXPECT_EQ(endOf([] {
                  try {
                      notResponding();
                  } catch (const Recheck&) {
                  }
              }).kind,
              EndKind::closing);
    EXPECT_EQ(failureCount, 3);
}

TEST_F(DialogueTest, SilenceOnTheSecondCheckMeansTheControllerIsAlreadyFast) {
    fake::ControllerScript script;
    script.answersBreak = false;
    fake::playController(script);
    speedMode = 1;
    fake::endKeyboard();
    endOf(checkPrompt);  // nothing answers the wake-up either
    EXPECT_EQ(speedMode, 2);
    // Every reopening after that is at 19200.
    EXPECT_EQ(fake::settingsWritten()[4].baudRate, 19200);
    EXPECT_TRUE(screenShows("Waking the KTX.  Please wait...") || failureCount == 3);
}

TEST_F(DialogueTest, FirstCheckSilenceWakesAt9600) {
    fake::ControllerScript script;
    script.answersBreak = false;
    fake::playController(script);
    fake::endKeyboard();
    // Carriage returns are echoed, the break never answered: the wake-up,
    // dialogue and re-check round must not go on for ever.
    EXPECT_EQ(endOf(checkPrompt).kind, EndKind::closing);
    EXPECT_EQ(failureCount, 3);
    EXPECT_EQ(speedMode, 0);
    for (const auto& s : fake::settingsWritten()) EXPECT_EQ(s.baudRate, 9600);
}

// Wake-up: CR every 1.0 to 2.0 s, answers judged after the pause.
TEST_F(DialogueTest, WakeUpPausesEvenWhenTheControllerAnswersAtOnce) {
    fake::onByteSent([](char c) {
        if (c == '\r') fake::controllerSends("READY\r\n>");
    });
    fake::advance(0.3);
    installHandler(Handler::generalErrorReport);
    const double began = fake::now();
    EXPECT_THROW(wakeController(), Recheck);  // three empty-prompt lines: re-check
    const auto crs = fake::writes();
    ASSERT_GE(crs.size(), 1u);
    EXPECT_EQ(crs[0], "\r");
    EXPECT_GE(fake::now() - began, 1.0);
}

TEST_F(DialogueTest, BytesAfterElevenSecondsDoNotSaveTheWakeUp) {
    fake::controllerSends("X", 11.6);
    installHandler(Handler::generalErrorReport);
    fake::advance(0.0);
    try {
        wakeController();
        FAIL();
    } catch (const Recheck&) {
        EXPECT_EQ(failureCount, 1);  // notResponding, not the dialogue
    }
    EXPECT_LE(fake::now(), 13.0);
}

TEST_F(DialogueTest, PasswordTypedAndAccepted) {
    fake::controllerSends("Password: ");
    fake::typeText("s3cr\bt\r");
    fake::onByteSent([](char c) {
        if (c == '\r') fake::controllerSends("\r\nREADY\r\n");
    });
    installHandler(Handler::generalErrorReport);
    openPort();
    dialogueMisses = 1;
    EXPECT_THROW(securityDialogue(), Recheck);
    EXPECT_EQ(fake::sentBytes(), "s3cr\bt\r");  // keys passed straight through
    EXPECT_EQ(failureCount, 0);
}

TEST_F(DialogueTest, WrongPasswordsThenBye) {
    fake::controllerSends("Password: ");
    fake::typeText("a\r");
    fake::typeText("b\r", 5.0);
    int attempts = 0;
    fake::onByteSent([&](char c) {
        if (c != '\r') return;
        if (++attempts == 1)
            fake::controllerSends("Unknown!\r\nPassword: ");
        else
            fake::controllerSends("Unknown!\r\nBYE!\r\n");
    });
    installHandler(Handler::generalErrorReport);
    openPort();
    dialogueMisses = 1;
    const RunEnd end = endOf(securityDialogue);
    EXPECT_EQ(end.kind, EndKind::immediate);
    EXPECT_EQ(row(1), "Password: a Unknown!");
    EXPECT_EQ(row(2), "Password: b Unknown!");
    EXPECT_EQ(row(3), "Invalid Password!");
    EXPECT_EQ(screenRows(), 24);
}

TEST_F(DialogueTest, PasswordWithoutItsBlankIsAnUnmatchedLine) {
    fake::controllerSends("Password:\r\nhello\r\n");
    installHandler(Handler::generalErrorReport);
    openPort();
    dialogueMisses = 1;
    EXPECT_THROW(securityDialogue(), Recheck);  // two lines and one empty read
    EXPECT_EQ(dialogueMisses, 4);
    EXPECT_EQ(fake::sentBytes(), "");
}

TEST_F(DialogueTest, EnableSecurityAnsweredWithN) {
    fake::controllerSends("** Enable Security (Y/N)? **\r\n");
    fake::onByteSent([](char c) { fake::controllerSends(c == '\r' ? std::string("\r\n") : std::string(1, c)); });
    installHandler(Handler::generalErrorReport);
    openPort();
    try {
        securityDialogue();
        FAIL();
    } catch (const Recheck& recheck) {
        EXPECT_TRUE(recheck.fromStart);
    }
    EXPECT_EQ(fake::sentBytes(), "N\r");
}

TEST_F(DialogueTest, ErrorReportWithAnsweringControllerSendsSleep) {
    fake::playController();
    installHandler(Handler::generalErrorReport);
    openPort();
    moveCursor(10, 1);
    const RunEnd end = endOf([] { generalErrorReport(57); });
    EXPECT_EQ(end.kind, EndKind::closing);
    EXPECT_EQ(fake::receivedLines().back(), "SLEEP");
    EXPECT_EQ(fake::sentBytes().substr(0, 2), "\x03\x03");
    EXPECT_EQ(fake::beeps(), 1);
}

TEST_F(DialogueTest, ErrorReportKeepsNumberAndWaitingOnOneRow) {
    fake::ControllerScript script;
    script.breakReply = "\r\nBREAK\r\nREADY\r\n>";
    fake::playController(script);
    installHandler(Handler::generalErrorReport);
    openPort();
    moveCursor(10, 1);
    fake::captureAtNextWait("Waiting for READY");
    endOf([] { generalErrorReport(5); });
    EXPECT_EQ(fake::capturedRow(11), "ERROR:  5 Waiting for READY > Prompt...");
}

TEST_F(DialogueTest, ErrorReportOnASilentLineEndsAfterAPause) {
    installHandler(Handler::generalErrorReport);
    openPort();
    const RunEnd end = endOf([] { generalErrorReport(69); });
    EXPECT_EQ(end.kind, EndKind::closing);
    EXPECT_GE(fake::now(), 2.0);
}

TEST_F(DialogueTest, ErrorReportOnADeadPortDoesNotLoop) {
    installHandler(Handler::generalErrorReport);  // port never opened: every send fails
    const RunEnd end = endOf([] { generalErrorReport(69); });
    EXPECT_EQ(end.kind, EndKind::closing);
}

TEST_F(DialogueTest, NonEmptyFirstReplyToTheReportIsAFailure) {
    fake::ControllerScript script;
    script.breakReply = "GARBAGE\r\n";
    fake::playController(script);
    installHandler(Handler::generalErrorReport);
    openPort();
    EXPECT_THROW(generalErrorReport(57), Recheck);
    EXPECT_EQ(failureCount, 1);
}

}  // namespace
