// The upload engine against a scripted controller: echo collection, the
// pass over the file, restarts, XOFF pauses, the progress box, the variant
// query and the closing exchange.
#include <functional>
#include <new>
#include <string>

#include "app/main_flow.h"
#include "controller/prompt.h"
#include "controller/variant.h"
#include "ends/error_reports.h"
#include "ends/failure_paths.h"
#include "exchange/pacing.h"
#include "exchange/send_line.h"
#include "platform/files/file_seam.h"
#include "support/controller_script.h"
#include "support/program_fixture.h"
#include "support/temp_directory.h"
#include "support/test_names.h"
#include "upload/progress.h"
#include "upload/upload.h"

namespace {

const char* const program = "10 REM LOGGER\r\n20 PRINT \"HI\"\r\n30 GOTO 20\r\n";

class UploadTest : public ProgramTest {
protected:
    // Runs `step` at the first sleep after the upload box is drawn.
    static void onceWhileTheUploadBoxWaits(std::function<void()> step) {
        fake::setSleepHook([step, done = false]() mutable {
            if (done || !row(1).starts_with("Uploading")) return;
            done = true;
            step();
        });
    }
    void SetUp() override {
        ProgramTest::SetUp();
        openAttachedPort();
        speedMode = 2;
    }
    // Runs the variant query and everything after it to the run's end.
    static RunEnd runQuery() {
        return endOf([] {
            try {
                queryVariant();
                uploadProgram();
            } catch (const ErrorJump& jump) {
                handleRunError(jump);
            }
        });
    }
    TempDirectory directory;
};

TEST_F(UploadTest, WholeUploadEndsCompleted) {
    TempDirectory::write("QRV1.BAS", program);
    fake::playController();
    fake::captureAtNextWait("Uploading");
    const RunEnd end = runQuery();
    EXPECT_EQ(end.kind, EndKind::closing);
    EXPECT_EQ(uploadFileName, "QRV1.BAS");
    const auto lines = fake::receivedLines();
    const std::vector<std::string> expected = {"? USING(##),CHR(CBY(7FECH))", "10 REM LOGGER", "20 PRINT \"HI\"",
                                               "30 GOTO 20", "", "RUN", "M", "10"};
    EXPECT_EQ(lines, expected);
    EXPECT_EQ(fake::capturedRow(1), "Uploading QRV1.BAS to KTX or RVB...");
    EXPECT_EQ(screenRows(), 25);
}

TEST_F(UploadTest, CompletionMessageOnRowSix) {
    TempDirectory::write("QRV1.BAS", "10 A\r\n");
    fake::playController();
    // The last wait of the run is the 2-second pause after the message.
    fake::addWakeSource([] {
        if (row(6) == "QRV.BAS Upload Completed.") {
            EXPECT_EQ(cursorRow(), 7);
        }
        return -1.0;
    });
    runQuery();
    EXPECT_EQ(fake::receivedLines().back(), "10");
}

struct Answer {
    const char* text;
    const char* file;
};

void PrintTo(const Answer& a, std::ostream* out) { *out << '"' << a.text << '"'; }

class VariantAnswer : public UploadTest, public ::testing::WithParamInterface<Answer> {};

TEST_P(VariantAnswer, ChoosesTheFileByNumericValue) {
    fake::ControllerScript script;
    script.variantAnswer = GetParam().text;
    fake::playController(script);
    fake::endKeyboard();
    runQuery();  // neither file exists: the run ends at the report
    EXPECT_EQ(uploadFileName, GetParam().file);
}

INSTANTIATE_TEST_SUITE_P(Answers, VariantAnswer,
                         ::testing::Values(Answer{"2", "QRV2.BAS"}, Answer{"02", "QRV2.BAS"}, Answer{"+2", "QRV2.BAS"},
                                           Answer{" 2.4", "QRV2.BAS"}, Answer{"1.5", "QRV2.BAS"},
                                           Answer{"2.5", "QRV2.BAS"}, Answer{"2 and more", "QRV2.BAS"},
                                           Answer{"3", "QRV1.BAS"}, Answer{"0", "QRV1.BAS"}, Answer{"1", "QRV1.BAS"},
                                           Answer{"Q", "QRV1.BAS"}, Answer{"", "QRV1.BAS"}),
                         [](const ::testing::TestParamInfo<Answer>& info) {
                             return "Answer_" + testNameOf(info.param.text);
                         });

TEST_F(UploadTest, MissingFileReport) {
    fake::ControllerScript script;
    script.variantAnswer = "2";
    fake::playController(script);
    fake::captureAtNextWait("Press Enter.");
    fake::pressKey("\r", 50);
    const RunEnd end = runQuery();
    EXPECT_EQ(end.kind, EndKind::closing);
    int found = 0;
    for (int r = 1; r <= 24; ++r)
        if (fake::capturedRow(r).ends_with("ERROR:  53 QRV1.BAS or QRV2.BAS Not Found!")) found = r;
    ASSERT_GT(found, 0);
    EXPECT_EQ(fake::capturedRow(found + 1), "Press Enter.");
    EXPECT_EQ(fake::beeps(), 1);
    EXPECT_FALSE(fake::portOpen());
}

// The file report's own close fails: the report is still the handler in
// force, so it is entered again; the file is gone by then, and the run ends
// normally after "Press Enter." instead of escaping every handler.
TEST_F(UploadTest, FailedCloseInTheFileReportEntersItAgainAndEndsNormally) {
    TempDirectory::write("QRV1.BAS", program);
    fake::playController();
    // While the upload box waits, still under the file report: the upload
    // file's handle is released behind the program's back and the line
    // reports an error.
    onceWhileTheUploadBoxWaits([] {
        fileSeamClose(nativeHandleOf(uploadFileNumber));
        fake::lineErrorOnNextStatus();
    });
    fake::pressKey("\r", 100);
    fake::captureAtNextWait("Press Enter.");
    const RunEnd end = endOf([] { queryAndUpload(); });
    EXPECT_EQ(end.exitCode, 0);
    EXPECT_EQ(end.kind, EndKind::closing);
    int found = 0;
    for (int r = 1; r <= 24; ++r)
        if (fake::capturedRow(r).ends_with("Press Enter.")) found = r;
    ASSERT_GT(found, 0);
    EXPECT_TRUE(fake::capturedRow(found).ends_with("ERROR:  57 ERROR:  51 Press Enter.")) << fake::capturedRow(found);
    EXPECT_FALSE(fileNumberInUse(uploadFileNumber));
    EXPECT_EQ(screenRows(), 25);
}

// Memory running out in the middle of a step is run-time error 7, reported
// by the handler in force like any other error, and the run ends normally.
TEST_F(UploadTest, OutOfMemoryGoesToTheHandlerInForce) {
    TempDirectory::write("QRV1.BAS", program);
    fake::playController();
    // The pause after the upload box is drawn, with the file report in force.
    onceWhileTheUploadBoxWaits([] { throw std::bad_alloc(); });
    fake::pressKey("\r", 100);
    fake::captureAtNextWait("Press Enter.");
    const RunEnd end = endOf([] { queryAndUpload(); });
    EXPECT_EQ(end.exitCode, 0);
    EXPECT_EQ(end.kind, EndKind::closing);
    EXPECT_EQ(lastErrorNumber(), 7);
    int found = 0;
    for (int r = 1; r <= 24; ++r)
        if (fake::capturedRow(r).ends_with("ERROR:  7 Press Enter.")) found = r;
    EXPECT_GT(found, 0);
    EXPECT_FALSE(fileNumberInUse(uploadFileNumber));
}

TEST_F(UploadTest, QueryEchoMismatchCountsAsAFailure) {
    fake::onByteSent([](char c) { fake::controllerSends(c == '\r' ? std::string("\r\n") : std::string("x")); });
    EXPECT_THROW(runQuery(), Recheck);
    EXPECT_EQ(failureCount, 1);
    EXPECT_TRUE(row(8) == "Echoed Line Did Not Equal Line Sent!" || row(7) == "Echoed Line Did Not Equal Line Sent!");
}

TEST_F(UploadTest, EmptyLineGoesOutAsABareCr) {
    fake::onByteSent([](char c) {
        if (c == '\r') fake::controllerSends("\r\n");
    });
    fake::controllerSends(">");
    commandText.clear();
    sendLineWithEcho();
    EXPECT_EQ(fake::writes(), (std::vector<std::string>{"\r"}));
    EXPECT_EQ(replyLine, "");  // the leftover prompt was removed
}

TEST_F(UploadTest, SecondCharacterWaitsForTheFirstEcho) {
    std::vector<double> sentAt;
    fake::onByteSent([&](char c) {
        sentAt.push_back(fake::now());
        fake::controllerSends(c == '\r' ? std::string("\r\n") : std::string(1, c), fake::now() + 0.5);
    });
    commandText = "AB";
    sendLineWithEcho();
    ASSERT_EQ(sentAt.size(), 3u);
    EXPECT_GE(sentAt[1] - sentAt[0], 0.5);
    EXPECT_EQ(replyLine, "AB");
}

// Esc while a line waits for its first echo stops the run there: nothing
// more of the line goes out.
TEST_F(UploadTest, EscWhileWaitingForTheFirstEchoSendsNoMore) {
    std::string sent;
    fake::onByteSent([&](char c) {
        sent += c;
        fake::controllerSends(std::string(1, c), fake::now() + 3);
    });
    fake::pressKey("\x1b", 1);
    commandText = "AB";
    const RunEnd end = endOf([] { sendLineWithEcho(); });
    EXPECT_EQ(end.kind, EndKind::closing);
    EXPECT_EQ(sent, "A");
    EXPECT_LT(fake::now(), 4.0);  // the 2 s with the message, not the echo's 3
}

TEST_F(UploadTest, CtrlZEndsTheFileAndAnEmptyFileSendsNoLine) {
    TempDirectory::write("QRV1.BAS", "10 A\r\n\x1a" "20 B\r\n");
    fake::playController();
    runQuery();
    EXPECT_EQ(fake::receivedLines()[1], "10 A");
    EXPECT_EQ(fake::receivedLines()[2], "");  // straight to the closing exchange
}

TEST_F(UploadTest, CaseOnlyMismatchRestartsFromLineOneAfterEnter) {
    TempDirectory::write("QRV1.BAS", program);
    fake::ControllerScript script;
    script.corruptLine = 3;  // the second program line, after the query
    fake::playController(script);
    fake::pressKey("\r", 30);
    fake::captureAtNextWait();
    runQuery();
    const auto lines = fake::receivedLines();
    const std::vector<std::string> expected = {"? USING(##),CHR(CBY(7FECH))", "10 REM LOGGER", "20 PRINT \"HI\"",
                                               "10 REM LOGGER", "20 PRINT \"HI\"", "30 GOTO 20", "", "RUN", "M",
                                               "10"};
    EXPECT_EQ(lines, expected);
    EXPECT_GE(fake::now(), 30.0);  // waited for Enter
}

TEST_F(UploadTest, MismatchScreenShowsBothTexts) {
    TempDirectory::write("QRV1.BAS", program);
    fake::ControllerScript script;
    script.corruptLine = 2;
    script.corruptOnce = false;
    fake::playController(script);
    fake::captureAtNextWait("Press Enter.");
    fake::pressKey("\r", 200);
    fake::pressKey("\x1b", 205);  // stops the second pass
    runQuery();
    EXPECT_EQ(fake::capturedRow(6), "10 REM LOGGERERROR:  ECHOED LINE NOT EQUAL TO LINE SENT!");
    EXPECT_EQ(fake::capturedRow(7), "10 rem logger");
    EXPECT_EQ(fake::capturedRow(8), "10 REM LOGGER");
    EXPECT_EQ(fake::capturedRow(9), "Press Enter.");
    EXPECT_EQ(fake::beeps(), 1);
}

class OperatorKey : public UploadTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(OperatorKey, MidLineEndsTheRunByTheOperator) {
    TempDirectory::write("QRV1.BAS", program);
    fake::ControllerScript script;
    script.echoDelay = 0.05;  // a line takes about a second
    fake::playController(script);
    fake::pressKey("x", 4.5);  // swallowed
    fake::pressKey(GetParam(), 4.51);
    fake::captureAtNextWait("ZIDURAD");
    const RunEnd end = runQuery();
    EXPECT_EQ(end.kind, EndKind::closing);
    EXPECT_LT(fake::receivedLines().size(), 4u);
    EXPECT_EQ(fake::capturedRow(7), "ZIDURAD Terminated by Operator before Completion.");
    EXPECT_GE(fake::now(), 6.5);  // the 2 s with the message
}

INSTANTIATE_TEST_SUITE_P(EscAndCtrlC, OperatorKey, ::testing::Values("\x1b", "\x03"),
                         [](const ::testing::TestParamInfo<const char*>& info) { return testNameOf(info.param); });

TEST_F(UploadTest, EchoDuringAnXoffPauseIsKept) {
    fake::ControllerScript script;
    script.xoffAfterLine = 1;
    script.xonDelay = 0.4;
    fake::playController(script);
    commandText = "10 PRINT";
    sendLineWithEcho();
    EXPECT_EQ(replyLine, "10 PRINT");
    EXPECT_EQ(row(24), "");  // the note was blanked again
    EXPECT_EQ(cursorRow(), 6);
}

TEST_F(UploadTest, RepeatedXoffIsIgnoredAndCursorComesBack) {
    moveCursor(6, 4);
    fake::controllerSends("a\x13" "b\x13", 0.1);
    fake::controllerSends("\x11", 0.6);
    waitForXon();
    EXPECT_EQ(replyLine, "ab");  // the XOFFs inside the pause are not echo
    EXPECT_EQ(cursorRow(), 6);
    EXPECT_EQ(cursorColumn(), 4);
    EXPECT_DOUBLE_EQ(fake::now(), 0.6);
}

TEST_F(UploadTest, NoCharacterPastAnXoffWhileTheStatusIsUnknown) {
    std::vector<double> sentAt;
    fake::onByteSent([&](char c) {
        sentAt.push_back(fake::now());
        fake::controllerSends(c == '\r' ? std::string("\r\n") : std::string(1, c), fake::now() + 0.002);
    });
    installHandler(Handler::readRecovery);  // as after any read
    fake::controllerSends("\x13");
    fake::controllerSends("\x11", 0.5);
    fake::failStatus(57, 3);
    fake::failNextWrites(2);
    commandText = "AB";
    sendLineWithEcho();
    ASSERT_FALSE(sentAt.empty());
    EXPECT_GE(sentAt.front(), 0.5);  // nothing went out before the XON
    EXPECT_EQ(fake::sentBytes(), "AB\r");  // a failed write is sent again, not skipped
    EXPECT_EQ(replyLine, "AB");
}

TEST_F(UploadTest, NoXonTimesOutThenTheLineFails) {
    fake::ControllerScript script;
    script.xoffAfterLine = 1;
    script.xonDelay = -1;
    script.echoDuringPause = false;
    fake::playController(script);
    fake::endKeyboard();
    fake::addWakeSource([] {
        if (row(24) == "Did not receive XOFF. Continue as if did...") {
            EXPECT_GT(fake::now(), 4.5);
            EXPECT_LT(fake::now(), 5.6);
        }
        return -1.0;
    });
    commandText = "10 PRINT";
    const RunEnd end = endOf(sendLineWithEcho);
    EXPECT_EQ(end.kind, EndKind::closing);
    EXPECT_GE(fake::now(), 7.0);
}

TEST_F(UploadTest, ProgressRowAndBar) {
    uploadFileName = "QRV1.BAS";
    drawProgressBox();
    EXPECT_EQ(static_cast<unsigned char>(screenCell(3, 1).ch), 218);
    EXPECT_EQ(static_cast<unsigned char>(screenCell(3, 80).ch), 191);
    EXPECT_EQ(static_cast<unsigned char>(screenCell(4, 80).ch), 179);
    EXPECT_EQ(static_cast<unsigned char>(screenCell(5, 80).ch), 217);
    EXPECT_EQ(static_cast<unsigned char>(screenCell(5, 40).ch), 196);
    uploadFileSize = 100;
    linesSent = 5;
    bytesSent = 12;
    updateProgress();
    EXPECT_EQ(row(2), "Line: 5  Percent Complete: 12");
    EXPECT_EQ(static_cast<unsigned char>(screenCell(4, 11).ch), 219);  // floor(2 + 0.12 * 77)

    drawProgressBox();  // a new pass: row 2 starts blank again
    linesSent = 6;
    bytesSent = 1;
    uploadFileSize = 1000;
    updateProgress();
    EXPECT_EQ(row(2).substr(0, 29), "Line: 6  Percent Complete: 0");
}

TEST_F(UploadTest, OneLineFileFillsColumnSeventyNine) {
    uploadFileName = "QRV1.BAS";
    drawProgressBox();
    uploadFileSize = 6;
    linesSent = 1;
    bytesSent = 6;
    updateProgress();
    EXPECT_EQ(row(2), "Line: 1  Percent Complete: 100");
    EXPECT_EQ(static_cast<unsigned char>(screenCell(4, 79).ch), 219);
    uploadFileSize = 100;
    bytesSent = 102;  // a last line counted with a line end the file lacks
    updateProgress();
    EXPECT_EQ(row(2), "Line: 1  Percent Complete: 102");
    EXPECT_EQ(static_cast<unsigned char>(screenCell(4, 80).ch), 219);
}

}  // namespace
