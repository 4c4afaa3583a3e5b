#pragma once
// The one error-handling header of the engine.
//
// Expected failures travel as values (VError). A broken precondition is a Panic:
// an exception carrying the failure's text plus the source location that raised
// it. The Python boundary turns every Panic into PanicException with that text.

#include <cstdint>
#include <exception>
#include <source_location>
#include <string>

namespace lodestra_core {

class Panic : public std::exception {
 public:
  Panic(std::string message, std::source_location where);
  const char* what() const noexcept override { return message_.c_str(); }
  const char* file() const noexcept { return file_; }
  std::uint_least32_t line() const noexcept { return line_; }

 private:
  std::string message_;
  const char* file_;
  std::uint_least32_t line_;
};

[[noreturn]] void panic(std::string message,
                        std::source_location where = std::source_location::current());

// Equality precondition on two sizes. The message names both values:
//   assertion `left == right` failed
//     left: 4
//    right: 8
void assert_eq(std::uint64_t left, std::uint64_t right,
               std::source_location where = std::source_location::current());

}  // namespace lodestra_core
