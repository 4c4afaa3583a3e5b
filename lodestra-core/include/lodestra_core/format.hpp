#pragma once
// Number formats of every repr and message, written once.
//
//   fmt_int(v)       {}     plain decimal, '-' when negative, no grouping
//   fmt_fixed(x, n)  {:.n}  fixed notation, exactly n decimals
//   fmt_sci(x, n)    {:.ne} one digit, point, n decimals, 'e', exponent without
//                           '+' or leading zeros (0.0123 -> 1.2300e-2, 0 -> 0.0000e0)
//
// Rounding is correct from the exact binary value with ties to even. Non-finite
// values print as NaN, inf and -inf in every format.

#include <cstdint>
#include <string>

namespace lodestra_core {

std::string fmt_int(std::int64_t value);
std::string fmt_int(std::uint64_t value);
std::string fmt_fixed(double value, int decimals);
std::string fmt_sci(double value, int decimals);

}  // namespace lodestra_core
