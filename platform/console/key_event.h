// Key strings out of Windows console key events.
//
// The console delivers every key press and release as a KEY_EVENT_RECORD.
// decodeKeyEvent turns the fields of one record into the program's key
// string: one character, or NUL and the key's PC scan code for keys without
// a character and for Alt with a letter. An empty result means the event is
// no key for the program (a release, a modifier key alone). Kept free of
// the console itself, and of <windows.h>, so that every rule can be checked
// with made-up events on every build, beside the terminal's key decoder.
#pragma once

#include <cstdint>
#include <string>

// The console's values for the fields below, as Windows defines them.
namespace consoleKey {
inline constexpr std::uint32_t rightAlt = 0x0001;
inline constexpr std::uint32_t leftAlt = 0x0002;
inline constexpr std::uint32_t rightCtrl = 0x0004;
inline constexpr std::uint32_t leftCtrl = 0x0008;
inline constexpr std::uint32_t shift = 0x0010;
inline constexpr std::uint32_t capsLockOn = 0x0080;
inline constexpr std::uint32_t enhancedKey = 0x0100;
inline constexpr std::uint16_t virtualAlt = 0x12;     // VK_MENU
inline constexpr std::uint16_t virtualEscape = 0x1B;  // VK_ESCAPE
}  // namespace consoleKey

struct KeyEventFields {
    bool keyDown = true;
    std::uint16_t virtualKey = 0;
    std::uint16_t scanCode = 0;
    std::uint8_t character = 0;  // in the console's input code page
    std::uint32_t controlKeys = 0;  // dwControlKeyState
    // The key's character with neither Shift nor Caps Lock (0: unknown or a
    // dead key), looked up in the keyboard layout by the caller.
    std::uint8_t unshifted = 0;
};

std::string decodeKeyEvent(const KeyEventFields& event);
