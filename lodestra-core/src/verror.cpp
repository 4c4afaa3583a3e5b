#include "lodestra_core/verror.hpp"

#include <source_location>
#include <utility>

#include "lodestra_core/format.hpp"
#include "lodestra_core/panic.hpp"

namespace lodestra_core {

Panic::Panic(std::string message, std::source_location where)
    : message_(std::move(message)), file_(where.file_name()), line_(where.line()) {}

void panic(std::string message, std::source_location where) {
  throw Panic(std::move(message), where);
}

void assert_eq(std::uint64_t left, std::uint64_t right, std::source_location where) {
  if (left != right) {
    panic("assertion `left == right` failed\n  left: " + fmt_int(left) +
              "\n right: " + fmt_int(right),
          where);
  }
}

namespace {
template <class... F>
struct Overloaded : F... {
  using F::operator()...;
};
}  // namespace

std::string to_string(const VError& error) {
  return std::visit(Overloaded{
                        [](const DimensionMismatch& e) {
                          return "dimension mismatch: expected " + fmt_int(e.expected) + ", got " +
                                 fmt_int(e.actual);
                        },
                        [](const ConvergenceFailure& e) {
                          return "convergence failure after " + fmt_int(e.iterations) +
                                 " iterations (residual = " + fmt_sci(e.residual, 3) + ")";
                        },
                        [](const InvalidParameter& e) { return "invalid parameter: " + e.message; },
                        [](const Io& e) { return "I/O error: " + e.message; },
                    },
                    error.kind);
}

}  // namespace lodestra_core
