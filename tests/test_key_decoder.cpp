#include "platform/console/key_decoder.h"

#include "support/key_press.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

namespace {

using Keys = std::vector<std::string>;

std::string ext(int scanCode) {
    return std::string{'\0', static_cast<char>(scanCode)};
}

void feed(KeyDecoder& decoder, std::string_view bytes, double now) {
    keyDecoderFeed(decoder, bytes.data(), bytes.size(), now);
}

// Every key ready at `now`.
Keys drain(KeyDecoder& decoder, double now) {
    Keys keys;
    for (std::string key = keyDecoderNext(decoder, now); !key.empty();
         key = keyDecoderNext(decoder, now)) {
        keys.push_back(key);
    }
    return keys;
}

// The keys of bytes that arrive in one read, taken out at once.
Keys decode(std::string_view bytes, bool terminal = true) {
    KeyDecoder decoder;
    decoder.terminal = terminal;
    feed(decoder, bytes, 5.0);
    return drain(decoder, 5.0);
}

struct Case {
    std::string_view bytes;
    std::string key;
};

void expectEach(const std::vector<Case>& cases) {
    for (const Case& c : cases) {
        EXPECT_EQ(decode(c.bytes), Keys{c.key}) << "bytes: " << c.bytes.substr(1);
    }
}

TEST(KeyDecoder, CursorAndEditingKeysInTheCommonForms) {
    expectEach({
        {"\x1b[A", ext(72)},   {"\x1b[B", ext(80)},   {"\x1b[C", ext(77)},
        {"\x1b[D", ext(75)},   {"\x1b[H", ext(71)},   {"\x1b[F", ext(79)},
        {"\x1bOA", ext(72)},   {"\x1bOD", ext(75)},   {"\x1bOH", ext(71)},
        {"\x1bOF", ext(79)},   {"\x1b[1~", ext(71)},  {"\x1b[7~", ext(71)},
        {"\x1b[4~", ext(79)},  {"\x1b[8~", ext(79)},  {"\x1b[2~", ext(82)},
        {"\x1b[3~", ext(83)},  {"\x1b[5~", ext(73)},  {"\x1b[6~", ext(81)},
    });
}

TEST(KeyDecoder, FunctionKeysInTheCommonForms) {
    expectEach({
        {"\x1bOP", ext(59)},    {"\x1b[11~", ext(59)},  {"\x1b[[A", ext(59)},
        {"\x1bOS", ext(62)},    {"\x1b[[E", ext(63)},   {"\x1b[15~", ext(63)},
        {"\x1b[17~", ext(64)},  {"\x1b[21~", ext(68)},  {"\x1b[23~", ext(87)},
        {"\x1b[24~", ext(88)},
    });
}

TEST(KeyDecoder, ModifiedKeysGiveTheBaseKey) {
    expectEach({
        {"\x1b[1;5A", ext(72)},  {"\x1b[1;3D", ext(75)},  {"\x1b[3;2~", ext(83)},
        {"\x1b[1;2P", ext(59)},  {"\x1b[15;5~", ext(63)}, {"\x1bO5Q", ext(60)},
    });
}

TEST(KeyDecoder, UnknownCompleteSequencesAreSwallowed) {
    EXPECT_EQ(decode("\x1b[200~x\x1b[201~"), Keys{"x"});  // bracketed paste
    EXPECT_EQ(decode("\x1b[<0;10;5M"), Keys{});          // mouse report
    EXPECT_EQ(decode("\x1b[24;80R"), Keys{});            // cursor report, not F3
    EXPECT_EQ(decode("\x1b[I\x1bOX\x1b[99~"), Keys{});
}

TEST(KeyDecoder, AltWithLetterIsTheKeyAltWithAnythingElseTheCharacter) {
    expectEach({
        {"\x1bq", ext(16)},  {"\x1bP", ext(25)},  {"\x1b" "a", ext(30)},
        {"\x1bL", ext(38)},  {"\x1bz", ext(44)},  {"\x1bM", ext(50)},
        {"\x1b" "1", "1"},   {"\x1b" "0", "0"},   {"\x1b.", "."},
        {"\x1b ", " "},      {"\x1b\xc3\xa4", "\x84"},
    });
}

TEST(KeyDecoder, ControlBytesAreKeysOfTheirOwn) {
    EXPECT_EQ(decode("\x7f\b\x03\t\r\n\x1a"),
              (Keys{"\b", "\b", "\x03", "\t", "\r", "\n", "\x1a"}));  // LF is Ctrl+J
    EXPECT_EQ(decode(std::string_view("\0", 1)), Keys{std::string(1, '\0')});
}

TEST(KeyDecoder, SeveralKeysInOneReadKeepTheirOrder) {
    EXPECT_EQ(decode("a\x1b[Ab\x03\x1bOP\x1b[3~"),
              (Keys{"a", ext(72), "b", "\x03", ext(59), ext(83)}));
}

TEST(KeyDecoder, LoneEscOnlyAfterTheTimeout) {
    KeyDecoder decoder;
    feed(decoder, "\x1b", 10.0);
    EXPECT_EQ(keyDecoderNext(decoder, 10.0), "");
    EXPECT_EQ(keyDecoderNext(decoder, 10.04), "");
    EXPECT_DOUBLE_EQ(keyDecoderDeadline(decoder), 10.0 + escapeTimeout);
    EXPECT_EQ(keyDecoderNext(decoder, 10.06), "\x1b");
    EXPECT_LT(keyDecoderDeadline(decoder), 0);
}

TEST(KeyDecoder, SequenceSplitAcrossReadsIsOneKey) {
    KeyDecoder decoder;
    feed(decoder, "\x1b", 0.0);
    EXPECT_EQ(keyDecoderNext(decoder, 0.01), "");
    feed(decoder, "[1;", 0.04);
    EXPECT_EQ(keyDecoderNext(decoder, 0.06), "");  // waits from the last byte
    feed(decoder, "5C", 0.08);
    EXPECT_EQ(drain(decoder, 0.08), Keys{ext(77)});
}

TEST(KeyDecoder, IncompleteSequenceTimesOutAsEscAndItsBytes) {
    KeyDecoder decoder;
    feed(decoder, "\x1b[1;", 0.0);
    EXPECT_EQ(drain(decoder, 0.01), Keys{});
    EXPECT_EQ(drain(decoder, 0.1), (Keys{"\x1b", "[", "1", ";"}));
    feed(decoder, "A", 0.2);  // too late to be part of it
    EXPECT_EQ(drain(decoder, 0.2), Keys{"A"});
}

TEST(KeyDecoder, SequenceBrokenByAStrayByte) {
    EXPECT_EQ(decode("\x1b[1\r"), (Keys{"\x1b", "[", "1", "\r"}));
    EXPECT_EQ(decode("\x1b[\xc3\xa4"), (Keys{"\x1b", "[", "\x84"}));
}

TEST(KeyDecoder, EscEscIsALoneEscFirst) {
    EXPECT_EQ(decode("\x1b\x1b[A"), (Keys{"\x1b", ext(72)}));
    KeyDecoder decoder;
    feed(decoder, "\x1b\x1b", 0.0);
    EXPECT_EQ(drain(decoder, 0.0), Keys{"\x1b"});
    EXPECT_EQ(drain(decoder, 0.1), Keys{"\x1b"});
}

TEST(KeyDecoder, EscOWithNothingAfterIsAltShiftO) {
    KeyDecoder decoder;
    feed(decoder, "\x1bO", 0.0);
    EXPECT_EQ(drain(decoder, 0.0), Keys{});
    EXPECT_EQ(drain(decoder, 0.1), Keys{ext(24)});
}

TEST(KeyDecoder, Utf8CharactersBecomeCodePageBytes) {
    EXPECT_EQ(decode("\xc3\xa4"), Keys{"\x84"});                  // ä
    EXPECT_EQ(decode("\xc2\xa0\xe2\x96\x88"), (Keys{"\xff", "\xdb"}));
    EXPECT_EQ(decode("a\xe2\x82\xac" "b"), (Keys{"a", "b"}));     // € has no byte
    EXPECT_EQ(decode("\xf0\x9f\x98\x80"), Keys{});               // emoji
}

TEST(KeyDecoder, MalformedUtf8IsDropped) {
    EXPECT_EQ(decode("\xff\xa4" "a"), Keys{"a"});       // bad lead, lone continuation
    EXPECT_EQ(decode("\xc0\x84\xe0\x83\xa4"), Keys{});  // overlong forms
    EXPECT_EQ(decode("\xc3" "b"), Keys{"b"});          // the breaking byte still counts
}

TEST(KeyDecoder, Utf8SplitAcrossReadsWaitsWithTheTimeout) {
    KeyDecoder decoder;
    feed(decoder, "\xc3", 0.0);
    EXPECT_EQ(drain(decoder, 0.01), Keys{});
    feed(decoder, "\xa4", 0.02);
    EXPECT_EQ(drain(decoder, 0.02), Keys{"\x84"});

    feed(decoder, "\xe2\x94", 1.0);
    EXPECT_EQ(drain(decoder, 1.1), Keys{});  // cut short: dropped
    feed(decoder, "x", 1.2);
    EXPECT_EQ(drain(decoder, 1.2), Keys{"x"});
}

TEST(KeyDecoder, OnlyAPrefixSetsADeadline) {
    KeyDecoder decoder;
    EXPECT_LT(keyDecoderDeadline(decoder), 0);
    feed(decoder, "a", 3.0);
    EXPECT_LT(keyDecoderDeadline(decoder), 0) << "a queued key must not cut a wait short";
    feed(decoder, "\x1b", 3.0);
    EXPECT_DOUBLE_EQ(keyDecoderDeadline(decoder), 3.0 + escapeTimeout);
    EXPECT_EQ(keyDecoderNext(decoder, 3.0), "a");
}

// Each key is decoded from the times its own bytes arrived, however late
// the program reads them.
TEST(KeyDecoder, ArrivalTimesDecideNotReadTimes) {
    KeyDecoder decoder;
    feed(decoder, "\x1b", 1.0);
    EXPECT_EQ(drain(decoder, 1.01), Keys{});
    EXPECT_EQ(drain(decoder, 9.0), Keys{"\x1b"}) << "read long after: Esc at once";

    feed(decoder, "\x1b", 20.0);
    feed(decoder, "a", 20.1);  // typed 100 ms later: not Alt+A
    EXPECT_EQ(drain(decoder, 20.1), (Keys{"\x1b", "a"}));

    feed(decoder, "\x1b", 30.0);
    feed(decoder, "[", 30.02);
    feed(decoder, "A", 30.04);
    EXPECT_EQ(drain(decoder, 30.04), Keys{ext(72)});
}

TEST(KeyDecoder, HowBytesAreSplitAcrossReadsChangesNoKey) {
    const std::string bytes = "x\x1b[1;5A\xc3\xa4\x1bOQ\x1b" "b\r";
    const Keys whole = decode(bytes);
    EXPECT_EQ(whole, (Keys{"x", ext(72), "\x84", ext(60), ext(48), "\r"}));
    for (std::size_t cut = 1; cut < bytes.size(); ++cut) {
        KeyDecoder decoder;
        feed(decoder, std::string_view(bytes).substr(0, cut), 1.0);
        Keys keys = drain(decoder, 1.0);
        feed(decoder, std::string_view(bytes).substr(cut), 1.03);
        const Keys rest = drain(decoder, 1.03);
        keys.insert(keys.end(), rest.begin(), rest.end());
        EXPECT_EQ(keys, whole) << "cut after byte " << cut;
    }
}

TEST(KeyDecoder, EndOfInputCompletesThePrefix) {
    KeyDecoder decoder;
    feed(decoder, "\x1b[", 1.0);
    keyDecoderFinish(decoder);
    EXPECT_EQ(drain(decoder, 1.0), Keys{"["});
    EXPECT_TRUE(keyDecoderEmpty(decoder));
}

// One table of what each key gives, through the terminal's bytes and
// through the Windows console's key event alike.
TEST(KeyTable, TerminalAndConsoleGiveTheSameKeyString) {
    using namespace consoleKey;
    const struct {
        const char* name;
        std::string_view bytes;
        KeyEventFields event;
        std::string key;
    } table[] = {
        {"a", "a", keyPress(30, 'a'), "a"},
        {"Enter", "\r", keyPress(28, 13), "\r"},
        {"Ctrl+J", "\n", keyPress(36, 10, leftCtrl), "\n"},
        {"Esc", "\x1b", keyPress(1, 27, 0, virtualEscape), "\x1b"},
        {"Backspace", "\x7f", keyPress(14, 8), "\b"},
        {"Tab", "\t", keyPress(15, 9), "\t"},
        {"Ctrl+C", "\x03", keyPress(46, 3, leftCtrl), "\x03"},
        {"Up", "\x1b[A", keyPress(72, 0, enhancedKey), ext(72)},
        {"Delete", "\x1b[3~", keyPress(83, 0, enhancedKey), ext(83)},
        {"F1", "\x1bOP", keyPress(59, 0), ext(59)},
        {"F12", "\x1b[24~", keyPress(88, 0), ext(88)},
        {"Alt+A", "\x1b" "a", keyPress(30, 'a', leftAlt), ext(30)},
        {"Alt+1", "\x1b" "1", keyPress(2, '1', leftAlt), "1"},
        {"Alt+.", "\x1b.", keyPress(52, '.', leftAlt), "."},
        {"a umlaut", "\xc3\xa4", keyPress(40, 0x84), "\x84"},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(row.name);
        KeyDecoder decoder;
        feed(decoder, row.bytes, 0.0);
        EXPECT_EQ(drain(decoder, 1.0), Keys{row.key});
        EXPECT_EQ(decodeKeyEvent(row.event), row.key);
    }
}

TEST(KeyDecoder, PipeGivesEveryByteAsItIs) {
    EXPECT_EQ(decode("\x1b[A\x7f\xc3\xa4", false),
              (Keys{"\x1b", "[", "A", "\x7f", "\xc3", "\xa4"}));
}

TEST(KeyDecoder, PipeLineEndsAreOneEnterEach) {
    EXPECT_EQ(decode("a\r\nb\nc\rd\r\r\n\n", false),
              (Keys{"a", "\r", "b", "\r", "c", "\r", "d", "\r", "\r", "\r"}));

    KeyDecoder decoder;
    decoder.terminal = false;
    feed(decoder, "x\r", 0.0);
    EXPECT_EQ(drain(decoder, 0.0), (Keys{"x", "\r"}));  // no wait for an LF
    feed(decoder, "\ny", 5.0);
    EXPECT_EQ(drain(decoder, 5.0), Keys{"y"});
}

}  // namespace
