#pragma once
// Bit-for-bit equality of double sequences: NaN payloads and signed zeros count,
// which == would hide.

#include <cstring>
#include <span>

inline bool same_bits(std::span<const double> a, std::span<const double> b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}
