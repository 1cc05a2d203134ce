// Number conversions shared by the command line, the prompts and the
// calibration formulas.
#pragma once

#include <cstdint>

// The atoi/atol rule: leading white space, an optional sign, the longest run
// of decimal digits; text after it is ignored, no digits give 0. A value
// beyond the signed 32-bit range saturates to its limit instead of overflowing.
std::int32_t Cislo_z_textu(const char* text);

// A calibration result as a 32-bit integer: truncated toward zero; a result
// that is not finite or lies outside the signed 32-bit range gives -2147483648.
std::int32_t Na_int32(long double x);
