// Shared by the fuzz targets: reading a scenario out of the fuzzer's bytes,
// and failing loudly. Every input is some scenario: a read past the end
// gives zeros and empty texts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

class FuzzInput {
public:
    FuzzInput(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    bool empty() const { return at_ >= size_; }
    std::size_t left() const { return size_ - at_; }

    std::uint8_t byte() { return empty() ? 0 : data_[at_++]; }

    // count bytes, fewer at the end of the input.
    std::string bytes(std::size_t count) {
        count = count < left() ? count : left();
        std::string text(reinterpret_cast<const char*>(data_ + at_), count);
        at_ += count;
        return text;
    }

    // A text led by its length in one byte.
    std::string text() { return bytes(byte()); }
    // A text led by its length in two bytes, high byte first.
    std::string longText() {
        const std::size_t high = byte();
        return bytes(high << 8 | byte());
    }
    std::string rest() { return bytes(left()); }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

// A broken property: said on standard error, then the process dies, which
// libFuzzer takes as a finding (the input is saved) and the replay of the
// corpora as a failed test.
[[noreturn]] inline void fuzzFailure(const char* target, const std::string& what) {
    std::fprintf(stderr, "%s: %s\n", target, what.c_str());
    std::fflush(stderr);
    std::abort();
}

// Bytes as C-style text, for the messages.
inline std::string shown(const std::string& bytes) {
    std::string text = "\"";
    for (unsigned char c : bytes) {
        if (c >= 32 && c < 127 && c != '"' && c != '\\') {
            text += static_cast<char>(c);
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
            text += escaped;
        }
    }
    return text + "\"";
}
