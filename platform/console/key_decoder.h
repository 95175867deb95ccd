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
//     DEL is Backspace (8) like byte 8; LF is Ctrl+J (10), as Enter sends CR;
//   - CSI, SS3, "ESC [ n ~" and the Linux console's "ESC [ [ A".."E" give
//     the arrow, editing and F1..F12 keys, modifiers ignored; other complete
//     sequences are swallowed;
//   - ESC and a letter is Alt with that key (NUL and its scan code); ESC and
//     any other character is Alt with that character, which gives the
//     character itself, as on the PC;
//   - a UTF-8 character becomes its code page 437 byte, or nothing when the
//     code page has none; malformed UTF-8 is dropped.
// Pipe mode (standard input is no terminal): every byte is a key as it is,
// except that CR, LF and CR LF are each one Enter.
#pragma once

#include <cstddef>
#include <deque>
#include <string>

inline constexpr double escapeTimeout = 0.05;  // seconds

struct KeyDecoder {
    bool terminal = true;          // false: bytes from a pipe or a file
    std::deque<std::string> keys;  // complete keys, oldest first
    std::string pending;           // a prefix that may still grow into a key
    double pendingSince = 0;       // when its last byte arrived
    bool afterCr = false;          // pipe: an LF now ends the CR's line, no new key
};

// Bytes that arrived at `now`.
void keyDecoderFeed(KeyDecoder& decoder, const char* bytes, std::size_t count, double now);

// The next key string, or "" when no complete key is there yet.
std::string keyDecoderNext(KeyDecoder& decoder, double now);

// When the pending prefix gives keys if nothing more arrives; negative when
// there is none. Keys already complete set no deadline: they simply wait to
// be read, and must not cut short any wait.
double keyDecoderDeadline(const KeyDecoder& decoder);

// No byte will ever come again: whatever is pending becomes keys now.
void keyDecoderFinish(KeyDecoder& decoder);

// Nothing queued and nothing pending.
bool keyDecoderEmpty(const KeyDecoder& decoder);
