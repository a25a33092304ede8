#pragma once

// Release numbers are decimal texts in the INI files ("12", "12.6") and are
// compared as signed 32-bit integers.

#include <cstdint>
#include <optional>
#include <string_view>

// The number at the start of text, read leniently: leading blanks are
// skipped and the longest prefix that forms a decimal number (sign, digits,
// fraction, exponent) is taken; a text without such a prefix gives 0.
double LenientNumber(std::string_view text);

// x rounded to the nearest integer, halves to the even neighbour
// (12.5 gives 12, 13.5 gives 14).
double RoundHalfEven(double x);

// The release number of a text: LenientNumber rounded half to even; empty
// when the result does not fit in a signed 32-bit integer.
std::optional<std::int32_t> ReleaseNumber(std::string_view text);
