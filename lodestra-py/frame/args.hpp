#pragma once
// One argument parser for every function and method: arguments by position or
// by keyword under the signature's names, with Python's own call-shape messages
// ("f() missing 1 required positional argument: 'dx'", "f() got an unexpected
// keyword argument 'x'", ...). Conversion happens afterwards, in signature order,
// through the typed accessors, which name the argument in their TypeErrors.

#include <cstddef>
#include <cstdint>
#include <span>

#include "frame/convert.hpp"
#include "frame/python.hpp"

namespace lodestra_py {

class Args {
 public:
  static constexpr std::size_t kMaxArgs = 32;

  // `function` is the name used in call-shape messages ("zeros" for a module
  // function, "QField2D.zeros" for a method); the first `required` names are
  // mandatory, the rest have defaults.
  Args(const char* function, std::span<const char* const> names, std::size_t required,
       PyObject* args, PyObject* kwargs);

  bool given(std::size_t i) const { return values_[i] != nullptr; }
  PyObject* raw(std::size_t i) const { return values_[i]; }

  std::uint64_t count(std::size_t i) const { return to_count(values_[i], names_[i]); }
  double real(std::size_t i) const { return to_real(values_[i], names_[i]); }
  double real_or(std::size_t i, double fallback) const { return given(i) ? real(i) : fallback; }
  template <class T>
  const T& object(std::size_t i) const {
    return to_object<T>(values_[i], names_[i]);
  }

 private:
  std::span<const char* const> names_;
  PyObject* values_[kMaxArgs] = {};
};

// For methods and functions without arguments: refuses any argument.
void no_args(const char* function, PyObject* args, PyObject* kwargs);

}  // namespace lodestra_py
