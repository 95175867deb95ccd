// Fuzz target: the owner's PID read out of a UUCP lock file.
//
// Lock files in a world-writable folder may hold anything. Whatever they
// hold, the reader gives a PID a process can have, none, or no such
// process, never reading past the bytes it was given; ten digits as FixQRV and the terminal
// programs write them give their PID back.
#include <sys/types.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "fuzz_input.h"
#include "platform/serial/port_claim_posix.h"

namespace {

constexpr const char* target = "lock text";
constexpr long largestPid = std::numeric_limits<pid_t>::max();

// The rules, spelled out: blanks, a sign, digits; or four binary bytes.
long expectedOwner(const std::string& text) {
    const bool allText = text.find_first_not_of(" 0123456789\n") == std::string::npos;
    if (text.size() == 4 && !allText) {
        std::int32_t value = 0;
        std::memcpy(&value, text.data(), 4);
        return value > 0 ? value : noSuchProcess;
    }
    std::size_t at = text.find_first_not_of(" \t\n\v\f\r");
    if (at == std::string::npos) return 0;
    const bool negative = text[at] == '-';
    if (text[at] == '+' || negative) ++at;
    const std::size_t first = at;
    long double value = 0;
    for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) value = value * 10 + (text[at] - '0');
    if (at == first) return 0;
    return !negative && value >= 1 && value <= largestPid ? static_cast<long>(value) : noSuchProcess;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // An exact copy, so that a read past its end is a sanitizer report.
    const std::vector<char> text(data, data + size);
    const long owner = parseLockOwner(text.data(), text.size());
    if ((owner < 0 && owner != noSuchProcess) || owner > largestPid) fuzzFailure(target, "PID " + std::to_string(owner) + " out of range");
    const std::string bytes(text.begin(), text.end());
    if (owner != expectedOwner(bytes))
        fuzzFailure(target, shown(bytes) + " gives " + std::to_string(owner) + ", the rules " +
                                std::to_string(expectedOwner(bytes)));

    // What a lock's owner writes is read back as its PID.
    if (size >= 3) {
        const long pid = 1 + ((data[0] << 16 | data[1] << 8 | data[2]) % 4194304);
        char written[16];
        const int length = std::snprintf(written, sizeof written, "%10ld\n", pid);
        const std::vector<char> lock(written, written + length);
        if (parseLockOwner(lock.data(), lock.size()) != pid)
            fuzzFailure(target, "the lock of PID " + std::to_string(pid) + " is not read back");
    }
    return 0;
}
