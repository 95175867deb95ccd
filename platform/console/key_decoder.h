// Keys out of the bytes a raw-mode terminal sends.
//
// The program works with PC key strings: one character, or NUL followed by
// the key's scan code (set 1) for keys without a character. A terminal sends
// bytes instead: characters as UTF-8, and arrows, function and editing keys
// as escape sequences. The back-end feeds whatever it reads, with the time of
// the read, and takes keys out one at a time.
//
// An Esc key and the start of a sequence begin with the same byte, so a
// prefix that could still grow waits up to escapeTimeout after its last byte
// arrived: then a lone ESC is the Esc key, and a sequence cut short is Esc
// followed by its other bytes as ordinary keys. Sequences split across reads
// therefore still give one key. The decoder never reads a clock itself; the
// caller passes the time, and waits until keyDecoderDeadline() at most.
//
// Terminal mode:
//   - control bytes are keys of their own (Ctrl-C is 3, an ordinary key);
//     LF is Enter (13) like CR, and DEL is Backspace (8) like byte 8;
//   - CSI, SS3, "ESC [ n ~" and the Linux console's "ESC [ [ A".."E" give
//     the arrow, editing and F1..F12 keys, modifiers ignored; other complete
//     sequences are swallowed;
//   - ESC and a letter or digit is Alt with that key (NUL and its scan code);
//   - a UTF-8 character becomes its code page 437 byte, or nothing when the
//     code page has none; malformed UTF-8 is dropped.
// Pipe mode (standard input is no terminal): every byte is a key as it is,
// except that CR, LF and CR LF are each one Enter.
#pragma once

#include <cstddef>
#include <string>

inline constexpr double escapeTimeout = 0.05;  // seconds

struct KeyDecoder {
    bool terminal = true;     // false: bytes from a pipe or a file
    std::string pending;      // read but not yet given out as keys
    double pendingSince = 0;  // when the last bytes arrived
    bool afterCr = false;     // pipe: an LF now ends the CR's line, no new key
};

void keyDecoderFeed(KeyDecoder& decoder, const char* bytes, std::size_t count, double now);

// The next key string, or "" when no complete key is there yet.
std::string keyDecoderNext(KeyDecoder& decoder, double now);

// When the pending bytes give a key even if nothing more arrives: a time not
// after the last feed when a key is ready now, the end of the escape wait
// when only a prefix is left, a negative value when nothing is pending.
double keyDecoderDeadline(const KeyDecoder& decoder);
