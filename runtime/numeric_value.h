// Numeric value of a text, as typed by the operator or answered by the
// controller: leading blanks, tabs and line feeds skipped; "&H", "&B",
// "&O"/"&Q" or "&" with digits for bases 16, 2 and 8; otherwise an optional
// sign, digits and a decimal fraction (and, where asked for, an exponent),
// read up to the first character that does not fit. No number gives 0.
#pragma once

#include <cstdint>

#include "runtime/program_state.h"

enum class Exponent : std::uint8_t { ignored, accepted };

double numericValue(const Text& text, Exponent exponent = Exponent::ignored);

// Nearest whole number, an exact half going to the even neighbour, held
// within the range of the result type.
std::int64_t roundHalfEven(double value);
