#pragma once
// Error values of the engine: expected failures are returned, never thrown.

#include <cstdint>
#include <expected>
#include <string>
#include <variant>

namespace lodestra_core {

struct DimensionMismatch {
  std::uint64_t expected;
  std::uint64_t actual;
};
struct ConvergenceFailure {
  std::uint64_t iterations;
  double residual;
};
struct InvalidParameter {
  std::string message;
};
struct Io {
  std::string message;
};

struct VError {
  std::variant<DimensionMismatch, ConvergenceFailure, InvalidParameter, Io> kind;
};

// The display text of an error, the message a Python caller sees.
std::string to_string(const VError& error);

template <class T>
using VResult = std::expected<T, VError>;

}  // namespace lodestra_core
