#pragma once
// Grid sizes are unsigned 64-bit counts; every product of them that sizes storage
// is checked, so a huge grid fails with std::overflow_error instead of wrapping.
// Storage that fits a count but not the machine fails with AllocationError, whose
// message names what was asked for, so that the caller's MemoryError says it.

#include <cstdint>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace lodestra_core {

inline std::uint64_t checked_mul(std::uint64_t a, std::uint64_t b) {
  std::uint64_t product = 0;
  if (__builtin_mul_overflow(a, b, &product)) {
    throw std::overflow_error("grid size overflows a 64-bit count");
  }
  return product;
}

// A storage request that could not be met; what() says which.
class AllocationError : public std::bad_alloc {
 public:
  explicit AllocationError(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

// "cannot allocate {what} ({values} values)".
[[noreturn]] void allocation_failed(const std::string& what, std::uint64_t values);

// `values` doubles equal to `fill`; a request the allocator refuses (std::bad_alloc) or
// that exceeds the vector's limit (std::length_error) throws AllocationError naming
// `describe()`, which is only evaluated then.
template <class Describe>
std::vector<double> allocate_values(std::uint64_t values, double fill, Describe&& describe) {
  try {
    return std::vector<double>(values, fill);
  } catch (const std::bad_alloc&) {
    allocation_failed(describe(), values);
  } catch (const std::length_error&) {
    allocation_failed(describe(), values);
  }
}

}  // namespace lodestra_core
