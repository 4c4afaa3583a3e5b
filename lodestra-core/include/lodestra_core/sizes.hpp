#pragma once
// Grid sizes are unsigned 64-bit counts; every product of them that sizes storage
// is checked, so a huge grid fails with std::overflow_error instead of wrapping.

#include <cstdint>
#include <stdexcept>

namespace lodestra_core {

inline std::uint64_t checked_mul(std::uint64_t a, std::uint64_t b) {
  std::uint64_t product = 0;
  if (__builtin_mul_overflow(a, b, &product)) {
    throw std::overflow_error("grid size overflows a 64-bit count");
  }
  return product;
}

}  // namespace lodestra_core
