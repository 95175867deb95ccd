// Reading the owner's PID out of a UUCP lock file's text.
#include <sys/types.h>

#include <cstdint>
#include <cstring>
#include <limits>

#include "platform/serial/port_claim_posix.h"

namespace {

constexpr long largestPid = std::numeric_limits<pid_t>::max();

bool isBlank(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Old UUCP versions wrote the PID as the four bytes of an int; any other
// byte than digits, blanks and a newline tells that form from ten digits.
bool binaryForm(const char* text, std::size_t length) {
    if (length != sizeof(std::int32_t)) return false;
    for (std::size_t i = 0; i < length; ++i)
        if (!isDigit(text[i]) && text[i] != ' ' && text[i] != '\n') return true;
    return false;
}

}  // namespace

long parseLockOwner(const char* text, std::size_t length) {
    if (binaryForm(text, length)) {
        std::int32_t binary = 0;
        std::memcpy(&binary, text, sizeof binary);
        return binary > 0 && binary <= largestPid ? binary : noSuchProcess;
    }
    std::size_t at = 0;
    while (at < length && isBlank(text[at])) ++at;
    const bool negative = at < length && text[at] == '-';
    if (at < length && (text[at] == '+' || negative)) ++at;
    const std::size_t first = at;
    long pid = 0;
    bool tooLarge = false;
    for (; at < length && isDigit(text[at]); ++at) {
        const int digit = text[at] - '0';
        // A number no process can have names a gone owner, however long it is.
        if (pid > (largestPid - digit) / 10) tooLarge = true;
        if (!tooLarge) pid = pid * 10 + digit;
    }
    if (at == first) return 0;
    return negative || tooLarge || pid == 0 ? noSuchProcess : pid;
}
