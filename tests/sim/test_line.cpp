// Flow control, line timing and injected faults of the simulated controller.
#include <gtest/gtest.h>

#include <algorithm>

#include "tests/sim/bench.h"

namespace simtest {
namespace {

// ---- XOFF from the PC ----

TEST(PcXoff, HoldsOutputUntilXon) {
    Bench bench;
    EXPECT_EQ(bench.send("\x13"), "");
    EXPECT_EQ(bench.type("AB\r"), "");
    EXPECT_EQ(bench.settle(), "");
    EXPECT_EQ(bench.send("\x11"), "AB\r\n>");
}

TEST(PcXoff, CtrlCReleasesTheHoldAndReplacesWhatWasPending) {
    Bench bench;
    bench.send("\x13");
    bench.type("AB");
    EXPECT_EQ(bench.send("\x03"), kBreakReply);
}

// ---- The controller's input buffer ----

sim::Behaviour smallBuffer(int size, int cps) {
    sim::Behaviour b;
    b.bufferSize = size;
    b.processCps = cps;
    return b;
}

// FixQRV hands over a whole line at once on a pseudo-terminal; our XOFF
// must stop it before the buffer is full, and XON let the rest through.
TEST(InputBuffer, XoffStopsTheBurstBeforeFullXonAtHalf) {
    Bench bench(smallBuffer(32, 100));
    const std::string text(40, 'A');
    std::string out = bench.send(text);
    ASSERT_EQ(out.find('\x13'), 0u);
    out += bench.settle();
    const auto xon = out.find('\x11');
    ASSERT_NE(xon, std::string::npos);
    // XON once the buffer is down to about half: some 8 of the 24 taken.
    const auto before = std::count(out.begin(), out.begin() + static_cast<long>(xon), 'A');
    EXPECT_GE(before, 6);
    EXPECT_LE(before, 10);
    EXPECT_EQ(std::count(out.begin(), out.end(), 'A'), 40);
    EXPECT_TRUE(bench.journal("overrun").empty());
}

// Behind a USB adapter our XOFF reaches the PC up to a latency period late.
TEST(InputBuffer, XoffHeardLateOverrunsASmallBuffer) {
    sim::Behaviour b = smallBuffer(8, 100);
    b.latencyMs = 16;
    Bench bench(b);
    bench.now = ms(1);
    std::string out = bench.send("ABCDEFGHIJKL");
    out += bench.settle();
    EXPECT_EQ(bench.journal("overrun").size(), 4u);
    std::string echoed;
    for (char c : out) {
        if (c != '\x11' && c != '\x13') echoed += c;
    }
    EXPECT_EQ(echoed, "ABCDEFGH");
}

// A sender that behaves like FixQRV (stops on XOFF until XON, sends one
// character at a time) gets every line through a small, slow buffer.
TEST(InputBuffer, SenderHonouringXoffGetsExactEchoes) {
    Bench bench(smallBuffer(16, 400));
    std::string echo;
    bool paused = false;
    const std::string line = "100 PRINT \"CHANNEL \";C;\" VALUE \";V;\" UNITS \";U$;\" OK\"";
    auto absorb = [&](const std::string& out) {
        for (char c : out) {
            if (c == '\x13') paused = true;
            else if (c == '\x11') paused = false;
            else echo += c;
        }
    };
    for (char c : line + "\r") {
        while (paused) {
            const auto due = bench.controller.nextDue();
            ASSERT_TRUE(due.has_value());
            absorb(bench.wait(*due - bench.now));
        }
        absorb(bench.send(std::string(1, c)));
        absorb(bench.wait(ms(1)));
    }
    absorb(bench.settle());
    EXPECT_EQ(echo, line + "\r\n>");
    EXPECT_FALSE(paused);
    EXPECT_TRUE(bench.journal("overrun").empty());
}

// ---- Spoiled echo ----

// One upload pass as FixQRV makes it: it stops at the first line whose echo
// differs and starts again from the first line. Returns that line's index,
// 0 when every echo matched.
int uploadPass(Bench& bench, int lines) {
    for (int i = 1; i <= lines; ++i) {
        const std::string sent = std::to_string(i * 10) + " REM LINE";
        std::string echo = linesOf(bench.type(sent + "\r")).at(0);
        if (!echo.empty() && echo[0] == '>') echo.erase(0, 1);
        if (echo != sent) return i;
    }
    return 0;
}

TEST(CorruptEcho, LineKOnceThenCleanPasses) {
    sim::Behaviour b;
    b.corruptLine = 2;
    Bench bench(b);
    EXPECT_EQ(uploadPass(bench, 3), 2);
    EXPECT_EQ(uploadPass(bench, 3), 0);
    EXPECT_EQ(uploadPass(bench, 3), 0);
    EXPECT_EQ(bench.journal("program").size(), 8u);  // the controller got them all
}

TEST(CorruptEcho, AlwaysSpoilsLineKOfEveryPass) {
    for (int k : {1, 3}) {
        sim::Behaviour b;
        b.corruptLine = k;
        b.corruptAlways = true;
        Bench bench(b);
        for (int pass = 0; pass < 3; ++pass) EXPECT_EQ(uploadPass(bench, 4), k) << pass;
    }
}

// ---- Dropped line and silence ----

TEST(Faults, LineDropsAfterNCharacters) {
    sim::Behaviour b;
    b.dropAfter = 5;
    Bench bench(b);
    EXPECT_EQ(bench.send("ABCD"), "ABCD");
    EXPECT_FALSE(bench.controller.lineDropped());
    EXPECT_EQ(bench.send("EFG"), "E");
    EXPECT_TRUE(bench.controller.lineDropped());
    EXPECT_FALSE(bench.controller.acceptsInput());
}

TEST(Faults, SilentControllerNeverAnswersButLogs) {
    sim::Behaviour b;
    b.silent = true;
    Bench bench(b);
    EXPECT_EQ(bench.type("\x13\x03X\r\r\r"), "");
    EXPECT_EQ(bench.settle(), "");
    EXPECT_EQ(bench.journal("rx").size(), 3u);
}

// ---- Pacing and latency ----

TEST(Pacing, OneCharacterTimePerByteAtTheControllersRate) {
    sim::Behaviour b;
    b.baudPacing = true;
    Bench bench(b);
    const Micros slow = 10000000 / 9600;
    const Micros fast = 10000000 / 19200;
    const auto replyBytes = static_cast<Micros>(kBreakReply.size());
    EXPECT_EQ(bench.send("\x03"), "");
    EXPECT_EQ(bench.wait(slow - 1), "");
    EXPECT_EQ(bench.wait(1), "\r");
    EXPECT_EQ(bench.wait(slow * (replyBytes - 1)), kBreakReply.substr(1));

    bench.type("TIMER1=65524\r");
    bench.settle();
    std::string reply = bench.send("\x03");
    reply += bench.wait(fast * replyBytes - 1);
    EXPECT_EQ(reply.size(), kBreakReply.size() - 1);
    reply += bench.wait(1);
    EXPECT_EQ(reply, kBreakReply);
}

TEST(Pacing, IncomingCharactersQueueAtTheLineRate) {
    sim::Behaviour b;
    b.baudPacing = true;
    Bench bench(b);
    bench.send("ABCDEFGHIJKLMNOPQRST");
    EXPECT_FALSE(bench.controller.acceptsInput());  // the reader must wait
    EXPECT_EQ(bench.settle().size(), 20u);
    EXPECT_GE(bench.now, 20 * (10000000 / 9600));
    EXPECT_TRUE(bench.controller.acceptsInput());
}

TEST(Latency, OutputIsReleasedInBatches) {
    sim::Behaviour b;
    b.latencyMs = 16;
    Bench bench(b);
    bench.now = ms(1);
    EXPECT_EQ(bench.send("A"), "");
    EXPECT_EQ(bench.wait(ms(5)), "");
    EXPECT_EQ(bench.send("B"), "");
    EXPECT_EQ(bench.wait(ms(9)), "");
    EXPECT_EQ(bench.wait(ms(1)), "AB");
    EXPECT_EQ(bench.controller.nextDue(), std::nullopt);
}

}  // namespace
}  // namespace simtest
