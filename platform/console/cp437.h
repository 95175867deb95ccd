// Code page 437, the character set of the console's cells, and its bridge to
// the UTF-8 a terminal speaks.
//
// Every byte 0..255 has a glyph, control codes included, because printed
// bytes are never interpreted: 1 is a smiling face, 29 a left-right arrow,
// 179..218 box pieces. Byte 0 shows as a blank, so 1..255 alone map one to
// one onto their code points.
#pragma once

#include <string>

// The code point of the glyph shown for a cell byte.
char32_t cp437ToUnicode(unsigned char byte);

// The cell byte for a character a keyboard can type (32..126 and the code
// page's upper half), or -1 when the code page has no such character.
int unicodeToCp437(char32_t codePoint);

// Appends the UTF-8 form of a code point; a value that is no Unicode scalar
// (a surrogate, or above U+10FFFF) is written as U+FFFD.
void appendUtf8(std::string& out, char32_t codePoint);

// The glyphs of a run of cell bytes, in UTF-8.
std::string cp437ToUtf8(const std::string& bytes);
