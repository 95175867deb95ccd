#include "platform/console/cp437.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace {

TEST(Cp437, GlyphsOfControlCodesBoxesAndEnds) {
    EXPECT_EQ(cp437ToUnicode(0), U' ');
    EXPECT_EQ(cp437ToUnicode(1), U'\u263A');
    EXPECT_EQ(cp437ToUnicode(13), U'\u266A');
    EXPECT_EQ(cp437ToUnicode(29), U'\u2194');
    EXPECT_EQ(cp437ToUnicode(31), U'\u25BC');
    EXPECT_EQ(cp437ToUnicode(127), U'\u2302');
    EXPECT_EQ(cp437ToUnicode(132), U'\u00E4');
    EXPECT_EQ(cp437ToUnicode(179), U'\u2502');
    EXPECT_EQ(cp437ToUnicode(191), U'\u2510');
    EXPECT_EQ(cp437ToUnicode(192), U'\u2514');
    EXPECT_EQ(cp437ToUnicode(196), U'\u2500');
    EXPECT_EQ(cp437ToUnicode(217), U'\u2518');
    EXPECT_EQ(cp437ToUnicode(218), U'\u250C');
    EXPECT_EQ(cp437ToUnicode(219), U'\u2588');
    EXPECT_EQ(cp437ToUnicode(224), U'\u03B1');
    EXPECT_EQ(cp437ToUnicode(255), U'\u00A0');
}

TEST(Cp437, BytesOneTo255ShowDistinctGlyphs) {
    std::set<char32_t> seen;
    for (int byte = 1; byte <= 255; ++byte) {
        const char32_t glyph = cp437ToUnicode(static_cast<unsigned char>(byte));
        EXPECT_GE(glyph, U' ') << byte;  // nothing reaches the terminal raw
        EXPECT_TRUE(seen.insert(glyph).second) << "byte " << byte << " repeats a glyph";
    }
}

TEST(Cp437, TypedCharactersMapBackToTheirByte) {
    for (int byte = 32; byte <= 255; ++byte) {
        if (byte != 127) {
            EXPECT_EQ(unicodeToCp437(cp437ToUnicode(static_cast<unsigned char>(byte))), byte);
        }
    }
}

TEST(Cp437, CharactersWithoutAByteGiveMinusOne) {
    EXPECT_EQ(unicodeToCp437(U'\u263A'), -1);  // a control code's picture
    EXPECT_EQ(unicodeToCp437(U'\u2302'), -1);
    EXPECT_EQ(unicodeToCp437(U'\n'), -1);
    EXPECT_EQ(unicodeToCp437(0x7F), -1);
    EXPECT_EQ(unicodeToCp437(U'\u20AC'), -1);  // euro
    EXPECT_EQ(unicodeToCp437(U'\U0001F600'), -1);
}

TEST(Cp437, Utf8EncodingOfEveryLength) {
    std::string out;
    appendUtf8(out, U'A');
    appendUtf8(out, U'\u00E4');
    appendUtf8(out, U'\u2502');
    appendUtf8(out, U'\U0001F600');
    EXPECT_EQ(out, "A\xc3\xa4\xe2\x94\x82\xf0\x9f\x98\x80");
}

TEST(Cp437, NonScalarValuesBecomeReplacementCharacter) {
    std::string out;
    appendUtf8(out, 0xD800);
    appendUtf8(out, 0x110000);
    EXPECT_EQ(out, "\xef\xbf\xbd\xef\xbf\xbd");
}

TEST(Cp437, BytesToUtf8) {
    EXPECT_EQ(cp437ToUtf8("\xda\xc4\xbf"), "\xe2\x94\x8c\xe2\x94\x80\xe2\x94\x90");
    EXPECT_EQ(cp437ToUtf8(std::string("a\0\x1d", 3)), "a \xe2\x86\x94");
    EXPECT_EQ(cp437ToUtf8(""), "");
}

}  // namespace
