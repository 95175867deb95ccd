#include <string>

#include "app/command_line.h"
#include "app/main_flow.h"
#include "ends/ends.h"
#include "runtime/numeric_value.h"
#include "support/program_fixture.h"
#include "support/temp_directory.h"
#include "support/test_names.h"

namespace {

TEST(CommandTail, ProgramNamePlainOrQuoted) {
    EXPECT_EQ(commandTailOf("fixqrv 12"), "12");
    EXPECT_EQ(commandTailOf("fixqrv"), "");
    EXPECT_EQ(commandTailOf("\"C:\\Field Tools\\fixqrv.exe\" 7"), "7");
    EXPECT_EQ(commandTailOf("\"C:\\Field Tools\\fixqrv.exe\"7"), "7");
    EXPECT_EQ(commandTailOf("fixqrv  c  "), "c  ");      // trailing blanks stay
    EXPECT_EQ(commandTailOf("fixqrv\t c"), "\t c");     // a tab ends the name but is no blank
    EXPECT_EQ(commandTailOf("\"unterminated name 5"), "");
}

TEST(CommandTail, RebuiltFromArguments) {
    const char* plain[] = {"./fixqrv", "12", "x"};
    EXPECT_EQ(commandLineFromArguments(3, plain), "./fixqrv 12 x");
    const char* spaced[] = {"/opt/field tools/fixqrv", "7"};
    EXPECT_EQ(commandTailOf(commandLineFromArguments(2, spaced)), "7");
}

TEST(CommandWords, UpperCasingCoversTheSevenAccentedLetters) {
    const std::string lower = "c az\x84\x94\x81\x82\xA4\x86\x87\xE1";
    const std::string upper = "C AZ\x8E\x99\x9A\x90\xA5\x8F\x80\xE1";
    EXPECT_EQ(upperCaseCommand(lower), upper);
}

TEST(CommandWords, BlankRunsGiveEmptyWordsAndExtraWordsAreDropped) {
    resetProgramState();
    commandText = "12  X ";
    splitCommandLine();
    EXPECT_EQ(commandWords[1], "12");
    EXPECT_EQ(commandWords[2], "");
    EXPECT_EQ(commandWords[3], "X");
    EXPECT_EQ(commandWords[4], "");
    commandText = "A B C D E F G H I J K L";
    splitCommandLine();
    EXPECT_EQ(commandWords[10], "J");
}

TEST(NumericValue, PortAndAnswerTexts) {
    EXPECT_EQ(numericValue("2.5"), 2.5);
    EXPECT_EQ(roundHalfEven(numericValue("2.5")), 2);
    EXPECT_EQ(roundHalfEven(numericValue("3.5")), 4);
    EXPECT_EQ(roundHalfEven(numericValue("1.5")), 2);
    EXPECT_EQ(numericValue(" &H1F"), 31);
    EXPECT_EQ(numericValue("&b101"), 5);
    EXPECT_EQ(numericValue("&O17"), 15);
    EXPECT_EQ(numericValue("&q17"), 15);
    EXPECT_EQ(numericValue("&17"), 15);
    EXPECT_EQ(numericValue("&H"), 0);
    EXPECT_EQ(numericValue("7abc"), 7);
    EXPECT_EQ(numericValue("abc"), 0);
    EXPECT_EQ(numericValue(""), 0);
    EXPECT_EQ(numericValue(" \t\n+2 words"), 2);
    EXPECT_EQ(numericValue("-4"), -4);
    EXPECT_EQ(numericValue("02"), 2);
    EXPECT_EQ(numericValue(".5"), 0.5);
    EXPECT_EQ(numericValue("-."), 0);
    EXPECT_EQ(numericValue("1e1"), 1);  // the port prompt reads no exponent
    EXPECT_EQ(numericValue("1e1", Exponent::accepted), 10);
    EXPECT_EQ(numericValue("2E", Exponent::accepted), 2);
    EXPECT_EQ(numericValue("25e-1", Exponent::accepted), 2.5);
}

TEST(NumericValue, HugeValuesRoundWithinRange) {
    EXPECT_GT(roundHalfEven(numericValue(std::string(400, '9'))), 256);
    EXPECT_GT(roundHalfEven(numericValue("1e999", Exponent::accepted)), 256);
    EXPECT_LT(roundHalfEven(numericValue("-" + std::string(400, '9'))), 1);
}

class StartUpTest : public ProgramTest {};

TEST_F(StartUpTest, SetsTitleColoursAndSize) {
    startUp("fixqrv");
    EXPECT_EQ(fake::title(), "MERIDEX - FixQRV");
    EXPECT_EQ(screenRows(), 24);
    EXPECT_EQ(screenColumns(), 80);
    EXPECT_EQ(screenCell(24, 80), (Cell{' ', 30}));
    EXPECT_EQ(commandText, "");
    EXPECT_EQ(portNumberText[256], "256");
    EXPECT_EQ(portNumberText[0], "");
}

TEST_F(StartUpTest, BannerRowsAndColumns) {
    startUp("fixqrv");
    showBanner();
    EXPECT_EQ(row(1), "");
    EXPECT_EQ(row(2), "   *** QRV.BAS PROGRAM FIX UPLOAD to KTX or RVB ***");
    EXPECT_EQ(row(3), std::string(20, ' ') + "Version 1.62");
    EXPECT_EQ(row(4).find_first_not_of(' '), 9u);
    EXPECT_EQ(row(5).find_first_not_of(' '), 11u);
    EXPECT_EQ(row(6), "");
    EXPECT_EQ(row(7), "   RESTRICTION:");
    EXPECT_EQ(row(8), "");
    EXPECT_EQ(row(9), "     KTX or RVB must be connected to PC RS232 COM port 1-256.");
    EXPECT_EQ(row(10), "");
    EXPECT_EQ(cursorRow(), 11);
    EXPECT_EQ(cursorColumn(), 1);
}

struct Dispatch {
    const char* tail;
    int port;  // -1: syntax error
};

void PrintTo(const Dispatch& d, std::ostream* out) { *out << '"' << d.tail << '"'; }

class DispatchTest : public ProgramTest, public ::testing::WithParamInterface<Dispatch> {};

TEST_P(DispatchTest, OnlyExactPortNumbersCount) {
    const Dispatch d = GetParam();
    TempDirectory directory;
    startUp(std::string("fixqrv ") + d.tail);
    fake::pressKey("\r", 1.0);     // "Press Enter." after a syntax error
    fake::pressKey("\x1b", 5.0);   // Esc at the port prompt
    fake::captureAtNextWait("Which PC COM port");
    const RunEnd end = endOf(dispatchAndRun);
    EXPECT_EQ(end.exitCode, 0);
    if (d.port < 0) {
        EXPECT_EQ(end.kind, EndKind::closing);
        EXPECT_EQ(screenRows(), 25);
        EXPECT_EQ(fake::keysLeft(), 1u);
        return;
    }
    // No start screen; a number is probed at once, "C" reads the (missing) file.
    EXPECT_EQ(end.kind, EndKind::immediate);
    EXPECT_EQ(portNumber, d.port);
    EXPECT_EQ(fake::capturedRow(1), d.port > 0 ? "Problem with COM port or port number!" : "Must be 1-256!");
    EXPECT_EQ(fake::capturedRow(2).rfind("Which PC COM port (1-256, Esc key to end) [", 0), 0u);
}

INSTANTIATE_TEST_SUITE_P(Words, DispatchTest,
                         ::testing::Values(Dispatch{"12", 12}, Dispatch{"12 x y", 12}, Dispatch{"256", 256},
                                           Dispatch{"1", 1}, Dispatch{"c", 0}, Dispatch{"C junk", 0},
                                           Dispatch{"012", -1}, Dispatch{"257", -1}, Dispatch{"X", -1},
                                           Dispatch{"0", -1}, Dispatch{"+5", -1}, Dispatch{"5.0", -1},
                                           Dispatch{"COM5", -1}, Dispatch{"5\t", -1}),
                         [](const ::testing::TestParamInfo<Dispatch>& info) {
                             return "Word_" + testNameOf(info.param.tail);
                         });

TEST_F(StartUpTest, SyntaxErrorScreenWaitsForEnterThenEndsRestored) {
    startUp("fixqrv 012");
    fake::pressKey("x", 3.0);
    fake::pressKey("\r", 4.0);
    fake::captureAtNextWait();
    const RunEnd end = endOf(dispatchAndRun);
    EXPECT_EQ(fake::capturedRow(1), "");
    EXPECT_EQ(fake::capturedRow(2), "FixQRV Command Line SYNTAX Error Detected.");
    EXPECT_EQ(fake::capturedRow(3), "Press Enter.");
    EXPECT_EQ(end.exitCode, 0);
    EXPECT_EQ(end.kind, EndKind::closing);
    EXPECT_GE(fake::now(), 4.0);  // waited for Enter
    EXPECT_EQ(screenRows(), 25);
    EXPECT_EQ(row(3), "");
}

TEST_F(StartUpTest, EndsLeaveTheConsoleAsDescribed) {
    standardScreen();
    printText("kept");
    RunEnd end = endOf(endRun);
    EXPECT_EQ(end.kind, EndKind::immediate);
    EXPECT_EQ(screenRows(), 24);
    EXPECT_EQ(row(1), "kept");

    installHandler(Handler::generalErrorReport);
    fake::refuseResize(true);  // a console that cannot grow back: no loop
    end = endOf(closingSequence);
    EXPECT_EQ(end.kind, EndKind::closing);
    EXPECT_EQ(end.exitCode, 0);
    EXPECT_EQ(row(1), "");
}

TEST(Errors, DroppedJumpedAndFatal) {
    resetErrorState();
    raiseError(53);  // no handler: dropped
    EXPECT_EQ(lastErrorNumber(), 53);
    installHandler(Handler::fileRead);
    installHandler(Handler::probe);  // replaces, no stack
    try {
        raiseError(69);
        FAIL();
    } catch (const ErrorJump& jump) {
        EXPECT_EQ(jump.number, 69);
        EXPECT_EQ(jump.handler, Handler::probe);
    }
    EXPECT_EQ(handlerInForce(), Handler::probe);  // a handler stays in force
    try {
        raiseError(241);
        FAIL();
    } catch (const RunEnd& end) {
        EXPECT_EQ(end.exitCode, 255);
        EXPECT_EQ(end.kind, EndKind::fatal);
    }
    resetErrorState();
}

}  // namespace
