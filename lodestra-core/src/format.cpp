#include "lodestra_core/format.hpp"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace lodestra_core {
namespace {

// glibc's printf converts from the exact binary value and rounds ties to even,
// which is the rounding the formats promise.
std::string printf_double(const char* spec, int decimals, double value) {
  int length = std::snprintf(nullptr, 0, spec, decimals, value);
  std::vector<char> buffer(static_cast<std::size_t>(length) + 1);
  std::snprintf(buffer.data(), buffer.size(), spec, decimals, value);
  return std::string(buffer.data(), static_cast<std::size_t>(length));
}

bool non_finite(double value, std::string& out) {
  if (std::isnan(value)) {
    out = "NaN";
    return true;
  }
  if (std::isinf(value)) {
    out = value < 0 ? "-inf" : "inf";
    return true;
  }
  return false;
}

}  // namespace

std::string fmt_int(std::int64_t value) { return std::to_string(value); }
std::string fmt_int(std::uint64_t value) { return std::to_string(value); }

std::string fmt_fixed(double value, int decimals) {
  std::string out;
  if (non_finite(value, out)) return out;
  return printf_double("%.*f", decimals, value);
}

std::string fmt_sci(double value, int decimals) {
  std::string out;
  if (non_finite(value, out)) return out;
  std::string text = printf_double("%.*e", decimals, value);
  // printf writes the exponent as e+NN / e-NN; keep the sign only when negative
  // and drop leading zeros.
  std::size_t e = text.find('e');
  int exponent = std::atoi(text.c_str() + e + 1);
  return text.substr(0, e + 1) + std::to_string(exponent);
}

}  // namespace lodestra_core
