// The controller's side of each exchange FixQRV relies on, over the
// injected clock.
#include <gtest/gtest.h>

#include "tests/sim/bench.h"

namespace simtest {
namespace {

const std::string kQuery = "? USING(##),CHR(CBY(7FECH))";

sim::Behaviour asleepWith(std::optional<std::string> password = {}, bool security = false) {
    sim::Behaviour b;
    b.asleep = true;
    b.password = std::move(password);
    b.security = security;
    return b;
}

// ---- Echo and commands ----

TEST(Echo, EveryCharacterAtOnceAndCrAsCrLfThenPrompt) {
    Bench bench;
    EXPECT_EQ(bench.send("X"), "X");
    EXPECT_EQ(bench.send("\r"), "\r\n>");
    EXPECT_EQ(bench.type("\r"), "\r\n>");  // an empty line too
}

TEST(Echo, BackspaceIsEchoedAndEditsTheLine) {
    Bench bench;
    EXPECT_EQ(bench.type("SLEEPX\b\r"), "SLEEPX\b\r\n");
    EXPECT_EQ(bench.journal("sleep").size(), 1u);
}

TEST(Echo, NumberedLinesAreStoredInOrderWithPromptAfterEach) {
    Bench bench;
    EXPECT_EQ(bench.type("10 PRINT \"A\"\r20 GOTO 10\r"), "10 PRINT \"A\"\r\n>20 GOTO 10\r\n>");
    EXPECT_EQ(bench.journal("program"),
              (std::vector<std::string>{"10 PRINT \"A\"", "20 GOTO 10"}));
    bench.type("10\r");  // a number alone deletes its line
    ASSERT_EQ(bench.controller.interpreter().program().size(), 1u);
    EXPECT_EQ(bench.controller.interpreter().program().begin()->first, 20);
}

TEST(Echo, JournalKeepsEveryReceivedLineAndControlByte) {
    Bench bench;
    bench.type("\x13\x03" "AB\r\r");
    EXPECT_EQ(bench.journal("ctrl"), (std::vector<std::string>{"XOFF", "^C"}));
    EXPECT_EQ(bench.journal("rx"), (std::vector<std::string>{"AB", ""}));
}

// ---- Break-in ----

TEST(BreakIn, XoffThenCtrlCGivesEmptyLineTextReadyAndPrompt) {
    Bench bench;
    EXPECT_EQ(bench.send("\x13"), "");
    const auto lines = linesOf(bench.send("\x03"));
    EXPECT_EQ(lines, (std::vector<std::string>{"", "BREAK", "READY", ">"}));
}

// After an error FixQRV sends two Ctrl-C and reads: an empty line, any line,
// "READY", then ">". Whether both bytes come in one read or apart, it works.
TEST(BreakIn, DoubleCtrlCReadsAsFixQrvExpects) {
    Bench together;
    const auto one = linesOf(together.send("\x03\x03"));
    EXPECT_EQ(one, (std::vector<std::string>{"", "BREAK", "READY", ">"}));

    Bench apart;
    std::string replies = apart.send("\x03");
    replies += apart.send("\x03");
    const auto two = linesOf(replies);
    ASSERT_GE(two.size(), 4u);
    EXPECT_EQ(two[0], "");
    EXPECT_EQ(two[2], "READY");
    EXPECT_EQ(two[3], ">");
}

TEST(BreakIn, StopsRunningProgramNamingItsLineAndDropsPendingOutput) {
    Bench bench;
    bench.type("10 REM\r250 GOTO 10\rRUN\r");
    EXPECT_EQ(bench.controller.interpreter().state(), sim::Interpreter::State::running);
    const auto lines = linesOf(bench.send("\x03"));
    EXPECT_EQ(lines, (std::vector<std::string>{"", "BREAK IN LINE 250", "READY", ">"}));
    EXPECT_EQ(bench.settle(), "");  // the rest of the start-up banner is gone
    EXPECT_EQ(bench.type("\r"), "\r\n>");
}

// ---- Speed switch and variant query ----

TEST(SpeedSwitch, EchoesThenFallsSilentAtTheFastRate) {
    Bench bench;
    bench.controller.noteLineRate(9600, bench.now);
    EXPECT_EQ(bench.type("TIMER1=65524\r"), "TIMER1=65524\r\n");
    EXPECT_EQ(bench.settle(ms(6000)), "");
    EXPECT_EQ(bench.controller.interpreter().rate(), 19200);
    EXPECT_EQ(bench.journal("speed"), (std::vector<std::string>{"19200"}));
    bench.controller.noteLineRate(19200, bench.now);
    EXPECT_EQ(bench.journal("rate"), (std::vector<std::string>{"9600", "19200"}));
}

TEST(SpeedSwitch, TalkingAtTheOldRateAfterTheSwitchIsLogged) {
    Bench bench;
    bench.controller.noteLineRate(9600, bench.now);
    bench.type("TIMER1=65524\r");
    bench.type("??");
    EXPECT_EQ(bench.journal("mismatch"), (std::vector<std::string>{"pc 9600 controller 19200"}));
}

TEST(Variant, QueryIsAnsweredWithTheConfiguredLineThenPrompt) {
    Bench plain;
    EXPECT_EQ(plain.type(kQuery + "\r"), kQuery + "\r\n 1\r\n>");
    sim::Behaviour second;
    second.variant = "2";
    Bench bench(second);
    EXPECT_EQ(linesOf(bench.type(kQuery + "\r")), (std::vector<std::string>{kQuery, "2", ">"}));
}

// ---- Asleep and waking ----

TEST(Asleep, IgnoresEverythingUntilTheSecondCr) {
    Bench bench(asleepWith());
    EXPECT_EQ(bench.type("\x13\x03X"), "");
    bench.wait(ms(1500));
    EXPECT_EQ(bench.type("\r"), "");
    bench.wait(ms(1500));
    EXPECT_EQ(linesOf(bench.type("\r")), (std::vector<std::string>{"", "KTX READY", "READY", ">"}));
    EXPECT_EQ(bench.send("\x03"), kBreakReply);
}

TEST(Asleep, CrsBeforeTheWakeDelayDoNotCount) {
    sim::Behaviour b = asleepWith();
    b.wakeDelayMs = 4000;
    Bench bench(b);
    auto crAfter = [&bench](Micros gap) {
        bench.wait(gap);
        return bench.type("\r");
    };
    for (int i = 0; i < 3; ++i) EXPECT_EQ(crAfter(ms(1300)), "") << i;
    EXPECT_EQ(crAfter(ms(1300)), "");  // the first to count, at 5.2 s
    EXPECT_NE(crAfter(ms(1300)), "");
}

TEST(Asleep, SleepCommandSilencesItUntilWokenAgain) {
    Bench bench;
    EXPECT_EQ(bench.send("\x03\x03"), kBreakReply);
    EXPECT_EQ(bench.type("SLEEP\r"), "SLEEP\r\n");
    EXPECT_EQ(bench.settle(), "");
    EXPECT_EQ(bench.type("\x03" "\r"), "");
    EXPECT_NE(bench.type("\r"), "");
}

// ---- Password and security ----

TEST(Password, RightPasswordAfterWakeGivesReady) {
    Bench bench(asleepWith("KEY"));
    const auto greeting = linesOf(bench.type("\r\r"));
    EXPECT_EQ(greeting, (std::vector<std::string>{"", "KTX READY", "Password: "}));
    EXPECT_EQ(bench.type("KEY"), "");  // not echoed
    EXPECT_EQ(bench.type("\r"), "\r\nREADY\r\n>");
    EXPECT_EQ(bench.send("\x03"), kBreakReply);
}

TEST(Password, PromptAsAWholeLine) {
    sim::Behaviour b = asleepWith("KEY");
    b.passwordPromptLine = true;
    Bench bench(b);
    const std::string greeting = bench.type("\r\r");
    EXPECT_EQ(greeting.substr(greeting.size() - 12), "Password: \r\n");
}

TEST(Password, WrongOnesSayUnknownThenByeAndItSleeps) {
    sim::Behaviour b = asleepWith("KEY");
    b.passwordTries = 2;
    Bench bench(b);
    bench.type("\r\r");
    EXPECT_EQ(bench.type("KEX\r"), " Unknown!\r\nPassword: ");
    EXPECT_EQ(linesOf(bench.type("KY\r")), (std::vector<std::string>{" Unknown!", "BYE!"}));
    EXPECT_EQ(bench.controller.interpreter().state(), sim::Interpreter::State::asleep);
    EXPECT_EQ(bench.type("\x03" "KEY\r"), "");
}

TEST(Password, BackspaceEditsTheTypedPassword) {
    Bench bench(asleepWith("KEY"));
    bench.type("\r\r");
    EXPECT_EQ(bench.type("KEZ\bY\r"), "\r\nREADY\r\n>");
}

// FixQRV finds a locked console silent to Ctrl-C and wakes it with CRs; the
// first text it reads after waking is not looked at, so it must not be the
// password prompt.
TEST(Password, LockedConsoleIgnoresBreakAndGreetsOnCr) {
    sim::Behaviour b;
    b.password = "KEY";
    Bench bench(b);
    EXPECT_EQ(bench.send("\x13\x03"), "");
    EXPECT_EQ(linesOf(bench.type("\r")), (std::vector<std::string>{"", "KTX READY", "Password: "}));
}

TEST(Security, QuestionAfterWakeTakesNThenReady) {
    Bench bench(asleepWith({}, true));
    const auto lines = linesOf(bench.type("\r\r"));
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[1], "KTX READY");
    EXPECT_NE(lines[2].find("Enable Security"), std::string::npos);
    EXPECT_EQ(bench.type("X\r"), "X\r\nEnable Security (Y/N)? ");  // asked again
    EXPECT_EQ(bench.type("N\r"), "N\r\nREADY\r\n>");
}

TEST(Security, QuestionAfterLoginIsCancelledByBreakIn) {
    Bench bench(asleepWith("KEY", true));
    bench.type("\r\r");
    EXPECT_EQ(bench.type("KEY\r"), "\r\nEnable Security (Y/N)? ");
    EXPECT_EQ(bench.send("\x03"), kBreakReply);
}

// ---- Closing exchange ----

TEST(Closing, RunPrintsThenFallsSilentMenuStartsWithStarAndTenEndsIt) {
    Bench bench;
    bench.type("10 REM\r20 GOTO 10\r");
    EXPECT_EQ(bench.type("\r"), "\r\n>");
    std::string started = bench.type("RUN\r");
    started += bench.settle();
    const auto run = linesOf(started);
    ASSERT_GE(run.size(), 3u);
    EXPECT_EQ(run[0], "RUN");
    EXPECT_FALSE(bench.controller.nextDue().has_value());  // silent from here on
    const Micros start = bench.now;
    std::string answer = bench.type("M\r");
    answer += bench.settle();
    const auto menu = linesOf(answer);
    ASSERT_GE(menu.size(), 2u);
    EXPECT_EQ(menu[0], "M");
    EXPECT_EQ(menu[1][0], '*');
    EXPECT_LT(bench.now - start, ms(1000));
    EXPECT_FALSE(bench.controller.uploadFinished());
    EXPECT_EQ(linesOf(bench.type("10\r"))[0], "10");
    EXPECT_TRUE(bench.controller.uploadFinished());
}

}  // namespace
}  // namespace simtest
