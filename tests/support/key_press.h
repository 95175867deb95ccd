// A console key event as the Windows console reports a key press, for the
// tests of the key tables.
#pragma once

#include <cstdint>

#include "platform/console/key_event.h"

inline KeyEventFields keyPress(std::uint16_t scan, std::uint8_t character, std::uint32_t controlKeys = 0,
                               std::uint16_t virtualKey = 0) {
    KeyEventFields event;
    event.scanCode = scan;
    event.character = character;
    event.controlKeys = controlKeys;
    event.virtualKey = virtualKey;
    return event;
}
