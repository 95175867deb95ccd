// Key strings out of Windows console key events.
//
// The console delivers every key press and release as a KEY_EVENT_RECORD.
// decodeKeyEvent turns the fields of one record into the program's key
// string: one character, or NUL and the key's PC scan code for keys without
// a character and for Alt with a letter. An empty result means the event is
// no key for the program (a release, a modifier key alone). Kept free of
// the console itself so that every rule can be checked with made-up events.
#pragma once

#include <cstdint>
#include <string>

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
