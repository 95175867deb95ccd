// Fuzz target: the number reader and the command line, arbitrary text.
//
// The same text is read three ways:
//   - as a number (the reader behind the port prompt, COMMPORT.NUM and the
//     controller's variant answer): never NaN; leading blanks, tabs and LFs
//     change nothing, and neither does anything after the first character
//     that cannot continue the number; a sign flips it; where the text is a
//     plain decimal of at most 15 digits, or an &H, &O or &B number that a
//     double holds exactly, the value and its rounding (halves to even) are
//     the exact ones;
//   - as a command line, through the real start-up: only a first word
//     written exactly "1" to "256" is a port, "C" (either case) the
//     remembered one, none the start screen, anything else a syntax error,
//     decided on the bytes alone, so the same on every platform; a syntax
//     error touches no file;
//   - typed at the port prompt, key by key: the port taken is the rounded
//     value when it is 1 to 256 (never an absurd value wrapped round into
//     that range), its device name is built from its digits, and the line
//     typed is what is remembered; anything else is refused.
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "app/main_flow.h"
#include "app/port_selection.h"
#include "ends/failure_paths.h"
#include "fuzz_input.h"
#include "memory_files.h"
#include "platform/console/console.h"
#include "platform/files/files.h"
#include "platform/serial/serial_link.h"
#include "runtime/errors.h"
#include "runtime/numeric_value.h"
#include "support/fake_clock.h"
#include "support/fake_console.h"
#include "support/fake_serial.h"

namespace {

constexpr const char* target = "number reader";

[[noreturn]] void fail(const std::string& what) { fuzzFailure(target, what); }

bool isDigit(char c) { return c >= '0' && c <= '9'; }

double valueOf(const std::string& text, Exponent exponent) {
    const double value = numericValue(text, exponent);
    if (std::isnan(value)) fail(shown(text) + " reads as NaN");
    return value;
}

void same(const std::string& a, const std::string& b, Exponent exponent, const char* why) {
    const double x = valueOf(a, exponent);
    const double y = valueOf(b, exponent);
    if (x != y) fail(shown(a) + " reads " + std::to_string(x) + " but " + shown(b) + " reads " +
                     std::to_string(y) + " (" + why + ")");
}

// The exact value of a plain decimal of at most 15 digits, rounded halves
// to even; none when the text is not one.
std::optional<std::int64_t> exactDecimal(const std::string& text, Exponent exponent) {
    std::size_t at = text.find_first_not_of(" \t\n");
    if (at == std::string::npos) return std::nullopt;
    const bool negative = text[at] == '-';
    if (text[at] == '-' || text[at] == '+') ++at;
    std::int64_t whole = 0, fraction = 0, half = 5;
    int digits = 0;
    bool fractionDigits = false;
    for (; at < text.size() && isDigit(text[at]); ++at)
        if (++digits <= 15) whole = whole * 10 + (text[at] - '0');
    if (at < text.size() && text[at] == '.') {
        for (++at; at < text.size() && isDigit(text[at]); ++at) {
            if (++digits > 15) continue;
            fraction = fraction * 10 + (text[at] - '0');
            half = fractionDigits ? half * 10 : half;
            fractionDigits = true;
        }
    }
    if (digits == 0 || digits > 15) return std::nullopt;
    if (exponent == Exponent::accepted && at < text.size() && (text[at] == 'e' || text[at] == 'E')) return std::nullopt;
    std::int64_t rounded = whole;
    if (fractionDigits && (fraction > half || (fraction == half && whole % 2 == 1))) ++rounded;
    return negative ? -rounded : rounded;
}

// The exact value of &H, &O (&Q, &) or &B digits that a double holds.
std::optional<double> exactAmpersand(const std::string& text) {
    std::size_t at = text.find_first_not_of(" \t\n");
    if (at == std::string::npos || text[at] != '&') return std::nullopt;
    ++at;
    int base = 8, bits = 3;
    if (at < text.size()) {
        switch (text[at]) {
            case 'H': case 'h': base = 16; bits = 4; ++at; break;
            case 'B': case 'b': base = 2; bits = 1; ++at; break;
            case 'O': case 'o': case 'Q': case 'q': ++at; break;
            default: break;
        }
    }
    std::uint64_t value = 0;
    int used = 0;
    for (; at < text.size(); ++at) {
        const char c = text[at];
        const int digit = isDigit(c) ? c - '0' : (c >= 'a' && c <= 'f') ? c - 'a' + 10 : (c >= 'A' && c <= 'F') ? c - 'A' + 10 : 99;
        if (digit >= base) break;
        if ((used += bits) > 52) return std::nullopt;
        value = value * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(digit);
    }
    return static_cast<double>(value);
}

void checkNumber(const std::string& text, std::size_t cut) {
    for (const Exponent exponent : {Exponent::ignored, Exponent::accepted}) {
        const std::string head = text.substr(0, cut);
        same(head + "x" + text.substr(cut), head, exponent, "x cannot continue a number");
        same(" \t\n" + text, text, exponent, "leading blanks, tabs and LFs are skipped");
        if (!text.empty() && (isDigit(text[0]) || text[0] == '.')) {
            const double value = valueOf(text, exponent);
            if (valueOf("-" + text, exponent) != -value || valueOf("+" + text, exponent) != value)
                fail("the sign of " + shown(text) + " is not its own");
        }
        if (const auto exact = exactDecimal(text, exponent)) {
            const std::int64_t rounded = roundHalfEven(valueOf(text, exponent));
            if (rounded != *exact)
                fail(shown(text) + " rounds to " + std::to_string(rounded) + ", exactly " + std::to_string(*exact));
        }
        if (const auto exact = exactAmpersand(text); exact && valueOf(text, exponent) != *exact)
            fail(shown(text) + " reads " + std::to_string(valueOf(text, exponent)) + ", exactly " +
                 std::to_string(*exact));
    }
}

// The command line by its rules, on the bytes alone.
enum class Dispatch { startScreen, remembered, port, syntaxError };

Dispatch expectedDispatch(const std::string& line, int& port) {
    std::size_t at = 0;
    if (!line.empty() && line[0] == '"') {
        const std::size_t close = line.find('"', 1);
        at = close == std::string::npos ? line.size() : close + 1;
    } else {
        while (at < line.size() && static_cast<unsigned char>(line[at]) > 32) ++at;
    }
    while (at < line.size() && line[at] == ' ') ++at;
    std::string word = line.substr(at, line.find(' ', at) - at);
    for (char& c : word) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
    }
    if (word.empty()) return Dispatch::startScreen;
    if (word == "C") return Dispatch::remembered;
    const bool canonical = word.size() <= 3 && word[0] != '0' &&
                           word.find_first_not_of("0123456789") == std::string::npos;
    port = canonical ? std::stoi(word) : 0;
    return canonical && port <= 256 ? Dispatch::port : Dispatch::syntaxError;
}

void resetWorld() {
    installHandler(Handler::none);
    closeAllFiles();
    closePort();
    memfs::reset();
    fake::resetClock();
    fake::resetConsole();
    fake::resetSerial();
    resetProgramState();
    installLineExits();
}

bool captured(const std::string& text) {
    for (int row = 1; row <= 25; ++row)
        if (fake::capturedRow(row).find(text) != std::string::npos) return true;
    return false;
}

std::string deviceName(int port) { return (port <= 9 ? "COM" : "\\\\.\\COM") + std::to_string(port); }

// Start-up and the dispatch of the real program, with no port and no file:
// what its first wait for a key shows tells how it took the command line.
void checkCommandLine(const std::string& line) {
    resetWorld();
    fake::pressKey("\x1b", 0.001);
    fake::endKeyboard();
    fake::captureAtNextWait();
    runProgram(line);
    int port = 0;
    const Dispatch expected = expectedDispatch(line, port);
    const bool syntaxError = captured("FixQRV Command Line SYNTAX Error Detected.");
    if (syntaxError != (expected == Dispatch::syntaxError))
        fail("command line " + shown(line) + (syntaxError ? " is" : " is not") + " a syntax error");
    if (syntaxError && (memfs::readOpens("COMMPORT.NUM") != 0 || memfs::exists("COMMPORT.NUM")))
        fail("command line " + shown(line) + ": a syntax error touched COMMPORT.NUM");
    if (captured("RESTRICTION:") != (expected == Dispatch::startScreen))
        fail("command line " + shown(line) + ": start screen shown or missed");
    if ((expected == Dispatch::remembered) != (captured("Must be 1-256!") && !captured("RESTRICTION:")))
        fail("command line " + shown(line) + ": the remembered port is used or not");
    if (expected == Dispatch::port &&
        (memfs::contents("COMMPORT.NUM") != std::to_string(port) + "\r\n" || !captured("Problem with COM port")))
        fail("command line " + shown(line) + ": port " + std::to_string(port) + " is not the one tried");
}

// The port prompt: the text typed key by key, then Enter.
void checkPrompt(const std::string& typed) {
    resetWorld();
    prepareConsole();
    setScreenSize(80, 24);
    fake::typeText(typed + "\r");
    fake::endKeyboard();

    // What the rules take from the same keys.
    std::optional<int> taken;
    std::string line, remembered;
    for (char key : typed + "\r") {
        if (key == 27) break;
        if (key == 8) {
            if (!line.empty()) line.pop_back();
        } else if (key == 13) {
            const double value = numericValue(line);
            const double rounded = std::nearbyint(value);
            if (!line.empty() && rounded >= 1 && rounded <= 256) {
                taken = static_cast<int>(rounded);
                remembered = line;
                break;
            }
            line.clear();
        } else {
            line += key;
        }
    }

    // Only the port the rules take opens: another one taken would fail its
    // probe and be refused.
    if (taken) fake::addPort(deviceName(*taken));
    bool ended = false;
    try {
        selectPort();
    } catch (const RunEnd&) {
        ended = true;
    }
    if (ended != !taken.has_value())
        fail("typed " + shown(typed) + ": " + (ended ? "refused" : "taken as port " + std::to_string(portNumber)));
    if (taken && (portNumber != *taken || portName != deviceName(*taken)))
        fail("typed " + shown(typed) + ": port " + std::to_string(portNumber) + " (" + portName + "), not " +
             std::to_string(*taken));
    if (taken && memfs::contents("COMMPORT.NUM") != remembered + "\r\n")
        fail("typed " + shown(typed) + ": remembered as " + shown(memfs::contents("COMMPORT.NUM")));
    if (!taken && memfs::exists("COMMPORT.NUM")) fail("typed " + shown(typed) + ": refused, yet remembered");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput in(data, size);
    const std::size_t cut = in.byte();
    std::string text = in.rest();
    checkNumber(text, std::min(cut, text.size()));
    // A command line holds no NUL.
    text = text.substr(0, text.find('\0'));
    checkCommandLine(text);
    checkPrompt(text.substr(0, 200));
    return 0;
}
