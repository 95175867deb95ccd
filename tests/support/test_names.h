// Readable names for the cases of parameterised tests. GoogleTest takes
// only letters, digits and underscores, so the other characters of a text
// are spelt out; a name never consists of digits alone, which CMake's test
// discovery would replace with the raw bytes of the parameter.
#pragma once

#include <string>
#include <string_view>

inline std::string testNameOf(std::string_view text) {
    static const char hex[] = "0123456789ABCDEF";
    if (text.empty()) return "empty";
    std::string name;
    for (const unsigned char c : text) {
        if ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')) {
            name += static_cast<char>(c);
        } else if (c == ' ') {
            name += '_';
        } else if (c == '.') {
            name += "dot";
        } else if (c == '+') {
            name += "plus";
        } else if (c == '-') {
            name += "minus";
        } else if (c == '\t') {
            name += "Tab";
        } else if (c == '\x1b') {
            name += "Esc";
        } else if (c == '\x03') {
            name += "CtrlC";
        } else {
            name += 'x';
            name += hex[c >> 4];
            name += hex[c & 15];
        }
    }
    return name;
}
