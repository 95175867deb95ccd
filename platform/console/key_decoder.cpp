#include "platform/console/key_decoder.h"

#include <algorithm>
#include <string_view>
#include <utility>

#include "platform/console/cp437.h"

namespace {

constexpr char esc = 27;

// A sequence still without its final byte after this many bytes is noise,
// not a key that is late.
constexpr std::size_t longestSequence = 32;

// What the bytes at the front of the pending input amount to.
enum class Kind { key, nothing, incomplete };

struct Step {
    Kind kind;
    std::size_t length;  // bytes used up
    std::string key;
};

Step give(std::size_t length, std::string key) {
    return {Kind::key, length, std::move(key)};
}

Step skip(std::size_t length) {
    return {Kind::nothing, length, {}};
}

Step waitForMore() {
    return {Kind::incomplete, 0, {}};
}

Step loneEscape() {
    return give(1, std::string(1, esc));
}

std::string extended(int scanCode) {
    return std::string{'\0', static_cast<char>(scanCode)};
}

Step giveExtended(std::size_t length, int scanCode) {
    return scanCode == 0 ? skip(length) : give(length, extended(scanCode));
}

bool isLetter(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool isDigit(unsigned char c) {
    return c >= '0' && c <= '9';
}

bool isFinalByte(unsigned char c) {
    return c >= 0x40 && c <= 0x7E;
}

// Scan code of the letter key; Alt with a letter has no character on a PC.
int letterKeyScan(unsigned char letter) {
    constexpr int scans[26] = {30, 48, 46, 32, 18, 33, 34, 35, 23, 36, 37, 38, 50,
                               49, 24, 25, 16, 19, 31, 20, 22, 47, 17, 45, 21, 44};
    return scans[(letter | 0x20) - 'a'];
}

// Keys named by a final letter, in CSI and SS3 alike. Lower-case a..d are
// rxvt's modified arrows; Z is Shift+Tab.
int finalLetterScan(unsigned char final) {
    switch (final) {
        case 'A': case 'a': return 72;
        case 'B': case 'b': return 80;
        case 'C': case 'c': return 77;
        case 'D': case 'd': return 75;
        case 'H': return 71;
        case 'F': return 79;
        case 'P': return 59;
        case 'Q': return 60;
        case 'R': return 61;
        case 'S': return 62;
        case 'Z': return 15;
        default: return 0;
    }
}

// Keys of "ESC [ n ~" (and rxvt's ^ $ @ endings for the modified forms).
int numberedKeyScan(int number) {
    switch (number) {
        case 1: case 7: return 71;
        case 2: return 82;
        case 3: return 83;
        case 4: case 8: return 79;
        case 5: return 73;
        case 6: return 81;
        case 11: case 12: case 13: case 14: case 15: return 59 + (number - 11);
        case 17: case 18: case 19: case 20: case 21: return 64 + (number - 17);
        case 23: return 87;
        case 24: return 88;
        default: return 0;
    }
}

// The first parameter of a sequence: 0 when absent, -1 when not a number.
int firstParameter(std::string_view parameters) {
    int value = 0;
    for (const char c : parameters.substr(0, parameters.find(';'))) {
        if (!isDigit(c)) {
            return -1;
        }
        value = std::min(value * 10 + (c - '0'), 10000);
    }
    return value;
}

Step csiKey(std::string_view parameters, unsigned char final, std::size_t length) {
    const int number = firstParameter(parameters);
    if (final == '~' || final == '^' || final == '$' || final == '@') {
        return giveExtended(length, numberedKeyScan(number));
    }
    // A first parameter other than 1 is no key: "ESC [ 24 ; 80 R" is a
    // cursor position report, not F3.
    if (number > 1 || number < 0) {
        return skip(length);
    }
    return giveExtended(length, finalLetterScan(final));
}

Step decodeCsi(std::string_view s) {
    if (s.size() < 3) {
        return waitForMore();
    }
    if (s[2] == '[') {  // Linux console: ESC [ [ A..E are F1..F5
        if (s.size() < 4) {
            return waitForMore();
        }
        const unsigned char c = s[3];
        if (c >= 'A' && c <= 'E') {
            return give(4, extended(59 + (c - 'A')));
        }
        return isFinalByte(c) ? skip(4) : loneEscape();
    }
    for (std::size_t i = 2; i < s.size(); ++i) {
        const unsigned char c = s[i];
        if (isFinalByte(c)) {
            return csiKey(s.substr(2, i - 2), c, i + 1);
        }
        if (c < 0x20 || c > 0x3F || i + 1 >= longestSequence) {
            return loneEscape();
        }
    }
    return waitForMore();
}

Step ss3Key(unsigned char final, std::size_t length) {
    constexpr std::string_view keypad = "*+,-./0123456789";  // finals j..y
    if (final == 'M') {
        return give(length, "\r");  // keypad Enter
    }
    if (final >= 'j' && final <= 'y') {
        return give(length, std::string(1, keypad[final - 'j']));
    }
    return giveExtended(length, finalLetterScan(final));
}

Step decodeSs3(std::string_view s) {
    for (std::size_t i = 2; i < s.size(); ++i) {
        const unsigned char c = s[i];
        if (isFinalByte(c)) {
            return ss3Key(c, i + 1);
        }
        if (!(isDigit(c) || c == ';') || i + 1 >= longestSequence) {
            return loneEscape();
        }
    }
    return waitForMore();
}

Step decodeUtf8(std::string_view s);

Step decodeEscape(std::string_view s) {
    if (s.size() < 2) {
        return waitForMore();
    }
    const unsigned char c = s[1];
    if (c == '[') {
        return decodeCsi(s);
    }
    if (c == 'O') {
        return decodeSs3(s);
    }
    if (isLetter(c)) {
        return give(2, extended(letterKeyScan(c)));
    }
    // Alt with any other character types that character, as on the PC.
    if (c >= 0x20 && c < 0x7F) {
        return give(2, std::string(1, static_cast<char>(c)));
    }
    if (c == 0x7F) {
        return give(2, "\b");
    }
    if (c >= 0x80) {
        Step step = decodeUtf8(s.substr(1));
        if (step.kind == Kind::key) {
            step.length += 1;
            return step;
        }
        return step.kind == Kind::incomplete ? step : loneEscape();
    }
    return loneEscape();
}

Step decodeUtf8(std::string_view s) {
    const unsigned char lead = s[0];
    std::size_t length = 0;
    char32_t codePoint = 0;
    // Bounds of the second byte exclude overlong forms, surrogates and
    // values above U+10FFFF.
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        codePoint = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        codePoint = lead & 0x0F;
        low = lead == 0xE0 ? 0xA0 : low;
        high = lead == 0xED ? 0x9F : high;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        codePoint = lead & 0x07;
        low = lead == 0xF0 ? 0x90 : low;
        high = lead == 0xF4 ? 0x8F : high;
    } else {
        return skip(1);
    }
    for (std::size_t i = 1; i < length; ++i) {
        if (i >= s.size()) {
            return waitForMore();
        }
        const unsigned char c = s[i];
        if (c < (i == 1 ? low : 0x80) || c > (i == 1 ? high : 0xBF)) {
            return skip(i);  // the byte that broke it may begin a new key
        }
        codePoint = (codePoint << 6) | (c & 0x3F);
    }
    const int byte = unicodeToCp437(codePoint);
    return byte < 0 ? skip(length) : give(length, std::string(1, static_cast<char>(byte)));
}

Step decodeTerminal(std::string_view s) {
    const unsigned char c = s[0];
    if (c == esc) {
        return decodeEscape(s);
    }
    if (c == 127) {
        return give(1, "\b");
    }
    if (c >= 0x80) {
        return decodeUtf8(s);
    }
    return give(1, std::string(1, static_cast<char>(c)));
}

// The front is a prefix and nothing more came in time.
Step expire(std::string_view s) {
    if (s[0] != esc) {
        return skip(s.size());  // a UTF-8 character cut short
    }
    if (s.size() == 2 && s[1] == 'O') {
        return give(2, extended(letterKeyScan('O')));  // it was Alt+Shift+O
    }
    if (s.size() == 2 && s[1] == '[') {
        return give(2, "[");  // it was Alt+[
    }
    return loneEscape();
}

// Pipe mode: every byte is a key, CR, LF and CR LF one Enter each.
void queueFromPipe(KeyDecoder& decoder, const char* bytes, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        const char c = bytes[i];
        const bool endsCrLine = decoder.afterCr && c == '\n';
        decoder.afterCr = c == '\r';
        if (!endsCrLine) {
            decoder.keys.emplace_back(1, c == '\n' ? '\r' : c);
        }
    }
}

// Turns the pending bytes into keys as far as they go; with `expired`, a
// prefix that could still grow is taken as it stands.
void decodePending(KeyDecoder& decoder, bool expired) {
    while (!decoder.pending.empty()) {
        Step step = decodeTerminal(decoder.pending);
        if (step.kind == Kind::incomplete) {
            if (!expired) {
                return;
            }
            step = expire(decoder.pending);
        }
        if (step.kind == Kind::key) {
            decoder.keys.push_back(std::move(step.key));
        }
        decoder.pending.erase(0, step.length);
    }
}

bool prefixExpired(const KeyDecoder& decoder, double now) {
    return !decoder.pending.empty() && now >= decoder.pendingSince + escapeTimeout;
}

}  // namespace

void keyDecoderFeed(KeyDecoder& decoder, const char* bytes, std::size_t count, double now) {
    if (count == 0) {
        return;
    }
    if (!decoder.terminal) {
        queueFromPipe(decoder, bytes, count);
        return;
    }
    // A prefix whose wait ran out before these bytes came is complete
    // without them.
    if (prefixExpired(decoder, now)) {
        decodePending(decoder, true);
    }
    decoder.pending.append(bytes, count);
    decoder.pendingSince = now;
    decodePending(decoder, false);
}

std::string keyDecoderNext(KeyDecoder& decoder, double now) {
    if (decoder.keys.empty() && prefixExpired(decoder, now)) {
        decodePending(decoder, true);
    }
    if (decoder.keys.empty()) {
        return {};
    }
    std::string key = std::move(decoder.keys.front());
    decoder.keys.pop_front();
    return key;
}

double keyDecoderDeadline(const KeyDecoder& decoder) {
    return decoder.pending.empty() ? -1 : decoder.pendingSince + escapeTimeout;
}

void keyDecoderFinish(KeyDecoder& decoder) { decodePending(decoder, true); }

bool keyDecoderEmpty(const KeyDecoder& decoder) { return decoder.keys.empty() && decoder.pending.empty(); }
