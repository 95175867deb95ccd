#include "platform/console/key_event.h"

namespace {

using namespace consoleKey;

// Keys that only change the modifier state: Ctrl, both Shifts, Alt, Caps
// Lock, Num Lock, Scroll Lock.
bool isModifierKey(int scan) {
    return scan == 29 || scan == 42 || scan == 54 || scan == 56 || scan == 58 || scan == 69 || scan == 70;
}

// The three letter rows: Q..P, A..L, Z..M.
bool isLetterKey(int scan) {
    return (scan >= 16 && scan <= 25) || (scan >= 30 && scan <= 38) || (scan >= 44 && scan <= 50);
}

// The digit row and the punctuation keys, whose characters Caps Lock leaves
// alone.
bool isDigitOrPunctuationKey(int scan) {
    return (scan >= 2 && scan <= 13) || scan == 26 || scan == 27 || scan == 39 || scan == 40 ||
           scan == 41 || scan == 43 || scan == 51 || scan == 52 || scan == 53;
}

}  // namespace

std::string decodeKeyEvent(const KeyEventFields& event) {
    const int scan = event.scanCode;
    if (!event.keyDown) {
        // A character typed as Alt and keypad digits arrives with the
        // release of Alt.
        if (event.virtualKey == virtualAlt && event.character != 0) return std::string(1, static_cast<char>(event.character));
        return {};
    }
    if (isModifierKey(scan)) return {};

    const bool alt = (event.controlKeys & (leftAlt | rightAlt)) != 0;
    const bool ctrl = (event.controlKeys & (leftCtrl | rightCtrl)) != 0;
    const bool shifted = (event.controlKeys & consoleKey::shift) != 0;
    // Ctrl and Alt together with a character is AltGr on a European layout
    // (AltGr+Q is @ on a German keyboard): the character counts.
    const bool altGraph = alt && ctrl && event.character != 0;
    if (alt && !altGraph && isLetterKey(scan)) return std::string{'\0', static_cast<char>(scan)};

    std::uint8_t character = event.character;
    // Wine's terminal console reports Esc without its character.
    if (character == 0 && event.virtualKey == virtualEscape) character = 27;
    if ((event.controlKeys & capsLockOn) && !shifted && !alt && !ctrl &&
        !(event.controlKeys & enhancedKey) && isDigitOrPunctuationKey(scan) && character != 0 &&
        event.unshifted != 0) {
        character = event.unshifted;
    }
    if (character != 0) return std::string(1, static_cast<char>(character));
    if (scan == 0) return {};  // nothing to name the key by
    return std::string{'\0', static_cast<char>(scan)};
}
