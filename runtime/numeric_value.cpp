#include "runtime/numeric_value.h"

#include <cctype>
#include <cmath>
#include <cstdlib>

namespace {

int digitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    const char upper = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (upper >= 'A' && upper <= 'F') return upper - 'A' + 10;
    return 99;
}

double readInBase(const Text& text, std::size_t at, int base) {
    double value = 0;
    for (; at < text.size() && digitValue(text[at]) < base; ++at) value = value * base + digitValue(text[at]);
    return value;
}

double readAmpersand(const Text& text, std::size_t at) {
    if (at >= text.size()) return 0;
    switch (std::toupper(static_cast<unsigned char>(text[at]))) {
        case 'H': return readInBase(text, at + 1, 16);
        case 'B': return readInBase(text, at + 1, 2);
        case 'O':
        case 'Q': return readInBase(text, at + 1, 8);
        default: return readInBase(text, at, 8);
    }
}

}  // namespace

double numericValue(const Text& text, Exponent exponent) {
    std::size_t at = 0;
    while (at < text.size() && (text[at] == ' ' || text[at] == '\t' || text[at] == '\n')) ++at;
    if (at < text.size() && text[at] == '&') return readAmpersand(text, at + 1);

    // The accepted characters form a plain decimal literal; strtod does the
    // arithmetic without the rounding drift of summing digits by hand.
    Text literal;
    if (at < text.size() && (text[at] == '+' || text[at] == '-')) literal += text[at++];
    bool digits = false;
    for (; at < text.size() && std::isdigit(static_cast<unsigned char>(text[at])); ++at, digits = true) literal += text[at];
    if (at < text.size() && text[at] == '.') {
        literal += text[at++];
        for (; at < text.size() && std::isdigit(static_cast<unsigned char>(text[at])); ++at, digits = true)
            literal += text[at];
    }
    if (!digits) return 0;
    if (exponent == Exponent::accepted && at < text.size() && std::toupper(static_cast<unsigned char>(text[at])) == 'E') {
        std::size_t mark = at + 1;
        Text tail = "e";
        if (mark < text.size() && (text[mark] == '+' || text[mark] == '-')) tail += text[mark++];
        const std::size_t firstDigit = mark;
        for (; mark < text.size() && std::isdigit(static_cast<unsigned char>(text[mark])); ++mark) tail += text[mark];
        if (mark > firstDigit) literal += tail;
    }
    return std::strtod(literal.c_str(), nullptr);
}

std::int64_t roundHalfEven(double value) {
    if (std::isnan(value)) return 0;
    constexpr double limit = 9.0e18;
    if (value >= limit) return static_cast<std::int64_t>(limit);
    if (value <= -limit) return -static_cast<std::int64_t>(limit);
    return static_cast<std::int64_t>(std::nearbyint(value));
}
