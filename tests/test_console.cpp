#include <string>

#include "support/program_fixture.h"

namespace {

class ConsoleTest : public ProgramTest {
protected:
    void SetUp() override {
        ProgramTest::SetUp();
        standardScreen();
    }
    static void expectMirrorMatches() {
        for (int r = 1; r <= screenRows(); ++r)
            for (int c = 1; c <= screenColumns(); ++c)
                ASSERT_EQ(fake::mirrorCell(r, c), screenCell(r, c)) << "row " << r << " column " << c;
        EXPECT_EQ(fake::mirrorCursorRow(), cursorRow());
        EXPECT_EQ(fake::mirrorCursorColumn(), cursorColumn());
    }
};

const std::string full(80, 'x');

TEST_F(ConsoleTest, ClearedScreenIsYellowOnBlueEverywhere) {
    EXPECT_EQ(screenRows(), 24);
    for (int r = 1; r <= 24; ++r)
        for (int c = 1; c <= 80; ++c) ASSERT_EQ(screenCell(r, c), (Cell{' ', 30}));
    expectMirrorMatches();
}

TEST_F(ConsoleTest, FullRowsWrapWithoutLineEnds) {
    moveCursor(3, 1);
    printText(full);
    EXPECT_EQ(cursorRow(), 4);
    EXPECT_EQ(cursorColumn(), 1);
    printText(std::string(80, 'y'));
    printText(std::string(80, 'z'));
    EXPECT_EQ(row(3), full);
    EXPECT_EQ(row(5), std::string(80, 'z'));
    EXPECT_EQ(cursorRow(), 6);
    expectMirrorMatches();
}

TEST_F(ConsoleTest, FilledLastRowWaitsThenScrollsOnceForTextTwiceForNewLine) {
    moveCursor(1, 1);
    printText("top");
    moveCursor(24, 1);
    printText(full);
    EXPECT_TRUE(pendingWrap());
    EXPECT_EQ(cursorRow(), 24);
    EXPECT_EQ(cursorColumn(), 1);
    EXPECT_EQ(row(1), "top");  // not scrolled yet

    printText("a");
    EXPECT_EQ(row(23), full);
    EXPECT_EQ(row(24), "a");
    EXPECT_EQ(row(1), "");

    moveCursor(24, 1);
    printText(full);
    newLine();
    EXPECT_EQ(row(22), full);  // "a" row replaced, then moved up twice
    EXPECT_EQ(row(23), "");
    EXPECT_EQ(row(24), "");
    EXPECT_EQ(cursorRow(), 24);
    EXPECT_FALSE(pendingWrap());
    expectMirrorMatches();
}

TEST_F(ConsoleTest, ScrolledInRowTakesTheCurrentColours) {
    moveCursor(24, 1);
    setColors(15, 4);
    newLine();
    EXPECT_EQ(screenCell(24, 1), (Cell{' ', 4 * 16 + 15}));
    EXPECT_EQ(screenCell(23, 1), (Cell{' ', 30}));
}

TEST_F(ConsoleTest, ControlBytesAreGlyphsThatMoveNothing) {
    moveCursor(2, 1);
    printText(std::string("a\r\n\b\t\x07z"));
    EXPECT_EQ(cursorRow(), 2);
    EXPECT_EQ(cursorColumn(), 8);
    EXPECT_EQ(screenCell(2, 2).ch, 13);
    EXPECT_EQ(screenCell(2, 3).ch, 10);
    EXPECT_EQ(fake::beeps(), 0);
}

TEST_F(ConsoleTest, MoveCursorKeepsOutOfRangeCoordinates) {
    moveCursor(3, 9);
    moveCursor(6, 0);
    EXPECT_EQ(cursorRow(), 6);
    EXPECT_EQ(cursorColumn(), 9);
    moveCursor(30, 5);
    EXPECT_EQ(cursorRow(), 6);
    EXPECT_EQ(cursorColumn(), 5);
    moveCursor(0, 81);
    EXPECT_EQ(cursorRow(), 6);
    EXPECT_EQ(cursorColumn(), 5);
}

TEST_F(ConsoleTest, PadToColumn) {
    moveCursor(5, 10);
    padToColumn(4);
    EXPECT_EQ(cursorRow(), 6);
    EXPECT_EQ(cursorColumn(), 4);
    EXPECT_EQ(screenCell(6, 1), (Cell{' ', 30}));
    padToColumn(4);
    EXPECT_EQ(cursorColumn(), 4);
    padToColumn(0);
    EXPECT_EQ(cursorColumn(), 4);
    padToColumn(85);  // beyond the edge: column 5, never an endless line
    EXPECT_EQ(cursorColumn(), 5);
}

TEST_F(ConsoleTest, PrintNumberFormat) {
    moveCursor(1, 1);
    printNumber(53);
    printNumber(-3);
    printNumber(0);
    EXPECT_EQ(screenRowText(1).substr(0, 10), " 53 -3  0 ");
}

TEST_F(ConsoleTest, ColoursOutsideTheRangeKeepTheCurrentOnes) {
    setColors(16, -1);
    EXPECT_EQ(currentAttribute(), 30);
    setColors(2, 20);
    EXPECT_EQ(currentAttribute(), 18);
}

TEST_F(ConsoleTest, RefusedSizeRaisesFiveAndKeepsTheGrid) {
    fake::refuseResize(true);
    installHandler(Handler::generalErrorReport);
    try {
        setScreenSize(80, 25);
        FAIL() << "no error raised";
    } catch (const ErrorJump& jump) {
        EXPECT_EQ(jump.number, 5);
    }
    EXPECT_EQ(screenRows(), 24);
    installHandler(Handler::none);
    setScreenSize(70000, 10);  // dropped with no handler
    EXPECT_EQ(lastErrorNumber(), 5);
    EXPECT_EQ(screenColumns(), 80);
}

// A console that cannot show 80 x 24: the grid is what it shows, so
// nothing is drawn past its bottom row.
TEST_F(ConsoleTest, ConsoleShowingLessGivesTheGridWhatFits) {
    fake::limitScreenSize(80, 20);
    installHandler(Handler::none);
    setScreenSize(80, 24);
    EXPECT_EQ(lastErrorNumber(), 5);
    EXPECT_EQ(screenRows(), 20);
    moveCursor(24, 5);
    EXPECT_EQ(cursorRow(), 1) << "a row past the bottom is not addressed";
    moveCursor(20, 1);
    printText("last");
    newLine();
    EXPECT_EQ(row(19), "last");
    EXPECT_EQ(cursorRow(), 20);
    expectMirrorMatches();
}

TEST_F(ConsoleTest, ResizeGivesAClearedGridOfThatSize) {
    printText("junk");
    setScreenSize(80, 25);
    EXPECT_EQ(screenRows(), 25);
    EXPECT_EQ(row(1), "");
    EXPECT_EQ(cursorRow(), 1);
    expectMirrorMatches();
}

TEST_F(ConsoleTest, ReadKeyboardLineEditsAndIgnoresControls) {
    moveCursor(3, 1);
    fake::typeText("ab\bc");
    fake::pressKey("\x1b");
    fake::pressKey(std::string("\0H", 2));  // Up arrow
    fake::pressKey(std::string(1, '\0'));
    fake::typeText("\t\x03\r");
    EXPECT_EQ(readKeyboardLine(), "ac");
    EXPECT_EQ(row(3), "ac");
    EXPECT_EQ(cursorRow(), 4);
    EXPECT_EQ(cursorColumn(), 1);
}

TEST_F(ConsoleTest, BackspaceErasesAcrossTheRowStart) {
    moveCursor(3, 79);
    fake::typeText("abc\b\b\r");
    EXPECT_EQ(readKeyboardLine(), "a");
    EXPECT_EQ(screenCell(3, 79).ch, 'a');
    EXPECT_EQ(screenCell(3, 80).ch, ' ');
    EXPECT_EQ(screenCell(4, 1).ch, ' ');
}

TEST_F(ConsoleTest, BackspaceAfterFillingTheLastCell) {
    moveCursor(24, 80);
    fake::typeText("a\b\r");
    EXPECT_EQ(readKeyboardLine(), "");
    EXPECT_EQ(screenCell(24, 80).ch, ' ');
    EXPECT_EQ(row(23), "");  // the blank did not scroll the screen
}

TEST_F(ConsoleTest, ReadKeyboardLineStopsAtItsLimit) {
    moveCursor(1, 1);
    fake::typeText(std::string(keyboardLineLimit + 5, '7'));
    fake::typeText("\r");
    EXPECT_EQ(readKeyboardLine().size(), static_cast<std::size_t>(keyboardLineLimit));
}

TEST_F(ConsoleTest, EndedKeyboardNeverHangs) {
    fake::typeText("12");
    fake::endKeyboard();
    EXPECT_EQ(readKeyboardLine(), "12");  // as if Enter came
    EXPECT_EQ(waitKey(), "\x1b");         // waits end as with Esc
    EXPECT_EQ(pollKey(), "");
}

TEST_F(ConsoleTest, WaitKeySleepsUntilTheKeyArrives) {
    fake::pressKey(std::string("\0;", 2), 7.25);  // F1
    EXPECT_EQ(waitKey(), std::string("\0;", 2));
    EXPECT_DOUBLE_EQ(fake::now(), 7.25);
}

TEST(TimeOfDay, KeepsCountingAcrossMidnightAndRoundsStartsHalfToEven) {
    fake::resetClock(86399.5);
    fake::resetConsole();
    prepareConsole();
    EXPECT_EQ(startInstant(), 86400.0);  // 86399.5: the even neighbour
    fake::advance(1.0);
    EXPECT_DOUBLE_EQ(timeOfDay(), 86400.5);
    EXPECT_EQ(startInstant(), 86400.0);  // 86400.5 rounds down to even
    fake::advance(1.0);
    EXPECT_EQ(startInstant(), 86402.0);
    const double start = startInstant();
    pause(2000);
    EXPECT_DOUBLE_EQ(secondsSince(start), 1.5);
}

}  // namespace
