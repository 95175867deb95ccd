// The simulator's command line and its log format.
#include <gtest/gtest.h>

#include "tools/controller-sim/journal.h"
#include "tools/controller-sim/options.h"

namespace {

sim::ParsedOptions parse(std::vector<std::string> args) { return sim::parseOptions(args); }

TEST(Options, DefaultsAndBothValueForms) {
    const auto plain = parse({"--print-path"});
    ASSERT_EQ(plain.error, "");
    EXPECT_EQ(plain.options.port, 3);
    EXPECT_EQ(plain.options.behaviour.variant, " 1");
    EXPECT_FALSE(plain.options.behaviour.passwordPromptLine);

    const auto set = parse({"--print-path", "--port=12", "--password", "A B", "--variant=2",
                            "--password-prompt", "line", "--drop-after", "40", "--latency=16"});
    ASSERT_EQ(set.error, "");
    EXPECT_EQ(set.options.port, 12);
    EXPECT_EQ(set.options.behaviour.password, "A B");
    EXPECT_EQ(set.options.behaviour.variant, "2");
    EXPECT_TRUE(set.options.behaviour.passwordPromptLine);
    EXPECT_EQ(set.options.behaviour.dropAfter, 40);
    EXPECT_EQ(set.options.behaviour.latencyMs, 16);
}

TEST(Options, CommandAfterDoubleDashKeepsItsOwnOptions) {
    const auto parsed = parse({"--asleep", "--", "fixqrv", "--print-path", "3"});
    ASSERT_EQ(parsed.error, "");
    EXPECT_TRUE(parsed.options.behaviour.asleep);
    EXPECT_FALSE(parsed.options.printPath);
    EXPECT_EQ(parsed.options.command, (std::vector<std::string>{"fixqrv", "--print-path", "3"}));
}

TEST(Options, MistakesAreRefused) {
    EXPECT_NE(parse({"--print-path", "--bogus"}).error.find("unknown option"), std::string::npos);
    EXPECT_NE(parse({"--print-path", "--port"}).error.find("needs a value"), std::string::npos);
    EXPECT_NE(parse({"--print-path=1"}).error.find("takes no value"), std::string::npos);
    EXPECT_NE(parse({"stray"}).error, "");
    EXPECT_NE(parse({"--silent"}).error, "");  // neither a path to print nor a command
    EXPECT_NE(parse({"--print-path", "--"}).error, "");
    for (const char* bad : {"0", "257", "3x", "", "-1"}) {
        EXPECT_NE(parse({"--print-path", "--port", bad}).error.find("bad value"), std::string::npos)
            << bad;
    }
    EXPECT_NE(parse({"--print-path", "--password-prompt", "maybe"}).error, "");
    EXPECT_NE(parse({"--print-path", "--drop-after", "0"}).error, "");
}

TEST(LogFormat, ControlBytesAndBackslashAreEscaped) {
    EXPECT_EQ(sim::escapeBytes(std::string("A\\B\x03\r\x13\xff", 7)), "A\\\\B\\x03\\x0D\\x13\\xFF");
    EXPECT_EQ(sim::formatEntry({1234567, "rx", "10 PRINT\x08"}), "1.234 rx 10 PRINT\\x08");
    EXPECT_EQ(sim::formatEntry({5000, "wake", ""}), "0.005 wake");
}

}  // namespace
