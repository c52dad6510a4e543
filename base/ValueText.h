// Node values as text: the form people read in messages and notification
// files, and the form the states and outbox files keep.
#pragma once

#include <string>

// Significant digits of a value that is not a whole number, where people
// read it: every digit of a 32-bit raw value and of a REAL, and few enough
// that the rounding of a factor such as 0.1 never shows.
constexpr int kValueDigits = 10;

// A whole number prints as "%.0lf" always has. With `decimals` any other
// value prints with up to kValueDigits significant digits and without
// trailing zeros (21.5, -0.125), with an exponent only below 1e-10 in
// magnitude (2.5e-12); without, it is rounded to a whole number as before.
std::string formatValue(double value, bool decimals);

// As formatValue, but a value with decimals is written with every digit it
// needs to read back as exactly the same double, so a value that went
// through the states file compares as it was read.
std::string formatStoredValue(double value, bool decimals);
