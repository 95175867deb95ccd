// Console key events into key strings, with events as the Windows console
// delivers them (and as Wine's terminal console does).
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "support/key_press.h"

namespace {

std::string scanKey(int scan) { return std::string{'\0', static_cast<char>(scan)}; }

TEST(KeyEvents, ReleasesAndModifierKeysAloneAreNoKeys) {
    KeyEventFields release = keyPress(30, 'a');
    release.keyDown = false;
    EXPECT_EQ(decodeKeyEvent(release), "");
    for (int modifier : {29, 42, 54, 56, 58, 69, 70}) {
        SCOPED_TRACE(modifier);
        EXPECT_EQ(decodeKeyEvent(keyPress(static_cast<std::uint16_t>(modifier), 0, SHIFT_PRESSED)), "");
    }
    EXPECT_EQ(decodeKeyEvent(keyPress(0, 0)), "") << "nothing to name the key by";
}

TEST(KeyEvents, KeysWithACharacterGiveThatCharacter) {
    const struct { const char* what; KeyEventFields event; std::string key; } cases[] = {
        {"letter", keyPress(30, 'a'), "a"},
        {"shifted letter", keyPress(30, 'A', SHIFT_PRESSED), "A"},
        {"Enter", keyPress(28, 13), "\r"},
        {"keypad Enter", keyPress(28, 13, ENHANCED_KEY), "\r"},
        {"Esc", keyPress(1, 27, 0, VK_ESCAPE), "\x1b"},
        {"Esc without its character (Wine)", keyPress(1, 0, 0, VK_ESCAPE), "\x1b"},
        {"Backspace", keyPress(14, 8), "\b"},
        {"Tab", keyPress(15, 9), "\t"},
        {"Ctrl+C is key 3", keyPress(46, 3, LEFT_CTRL_PRESSED), "\x03"},
        {"Ctrl+A", keyPress(30, 1, RIGHT_CTRL_PRESSED), "\x01"},
        {"Alt with a digit", keyPress(2, '1', LEFT_ALT_PRESSED), "1"},
        {"code page 437 letter without a scan code", keyPress(0, 132), "\x84"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(decodeKeyEvent(c.event), c.key);
    }
}

TEST(KeyEvents, KeysWithoutACharacterGiveNulAndTheScanCode) {
    for (int scan : {59, 68, 87, 88, 72, 75, 77, 80, 71, 79, 73, 81, 82, 83}) {
        SCOPED_TRACE(scan);
        EXPECT_EQ(decodeKeyEvent(keyPress(static_cast<std::uint16_t>(scan), 0)), scanKey(scan));
        EXPECT_EQ(decodeKeyEvent(keyPress(static_cast<std::uint16_t>(scan), 0, ENHANCED_KEY)), scanKey(scan));
    }
}

TEST(KeyEvents, AltWithALetterGivesNulAndTheScanCode) {
    for (int scan : {16, 25, 30, 38, 44, 50}) {
        SCOPED_TRACE(scan);
        EXPECT_EQ(decodeKeyEvent(keyPress(static_cast<std::uint16_t>(scan), 'x', LEFT_ALT_PRESSED)), scanKey(scan));
        EXPECT_EQ(decodeKeyEvent(keyPress(static_cast<std::uint16_t>(scan), 0, RIGHT_ALT_PRESSED)), scanKey(scan));
    }
    // Just outside the letter rows: the character counts.
    for (int scan : {15, 26, 39, 43, 51}) {
        SCOPED_TRACE(scan);
        EXPECT_EQ(decodeKeyEvent(keyPress(static_cast<std::uint16_t>(scan), '+', LEFT_ALT_PRESSED)), "+");
    }
}

TEST(KeyEvents, AltGrWithACharacterTypesIt) {
    // AltGr is reported as right Alt with left Ctrl.
    EXPECT_EQ(decodeKeyEvent(keyPress(16, '@', RIGHT_ALT_PRESSED | LEFT_CTRL_PRESSED)), "@");
    EXPECT_EQ(decodeKeyEvent(keyPress(30, 0, LEFT_ALT_PRESSED | LEFT_CTRL_PRESSED)), scanKey(30));
}

TEST(KeyEvents, CapsLockChangesLettersOnly) {
    const int unaffected[] = {2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 26, 27, 39, 40, 41, 43, 51, 52, 53};
    for (int scan : unaffected) {
        SCOPED_TRACE(scan);
        KeyEventFields event = keyPress(static_cast<std::uint16_t>(scan), '!', CAPSLOCK_ON);
        event.unshifted = '1';
        EXPECT_EQ(decodeKeyEvent(event), "1") << "unshifted without Shift";
        event.controlKeys |= SHIFT_PRESSED;
        EXPECT_EQ(decodeKeyEvent(event), "!") << "shifted with Shift";
    }
    KeyEventFields letter = keyPress(30, 'A', CAPSLOCK_ON);
    letter.unshifted = 'a';
    EXPECT_EQ(decodeKeyEvent(letter), "A");
    KeyEventFields keypadSlash = keyPress(53, '/', CAPSLOCK_ON | ENHANCED_KEY);
    keypadSlash.unshifted = '-';
    EXPECT_EQ(decodeKeyEvent(keypadSlash), "/");
    KeyEventFields deadKey = keyPress(41, '^', CAPSLOCK_ON);
    EXPECT_EQ(decodeKeyEvent(deadKey), "^") << "no unshifted character known";
    KeyEventFields capsOff = keyPress(2, '!');
    capsOff.unshifted = '1';
    EXPECT_EQ(decodeKeyEvent(capsOff), "!");
}

TEST(KeyEvents, AltAndKeypadDigitsTypeTheirCharacterOnTheReleaseOfAlt) {
    KeyEventFields altRelease = keyPress(56, 132, 0, VK_MENU);
    altRelease.keyDown = false;
    EXPECT_EQ(decodeKeyEvent(altRelease), "\x84");
    altRelease.character = 0;
    EXPECT_EQ(decodeKeyEvent(altRelease), "");
}

}  // namespace
