#pragma once
// The one guard around every entry from Python. Inside it, C++ code reports
// failures by throwing; the guard maps them to Python exceptions:
//   PythonError (already set)        -> returned as is
//   lodestra_core::Panic             -> PanicException with the failure's text
//   lodestra_core::AllocationError   -> MemoryError naming what could not be allocated
//   std::bad_alloc, std::length_error -> MemoryError (working storage)
//   std::overflow_error              -> OverflowError (sizes that overflow a count)
//   any other exception              -> PanicException
// Error values (VError) are converted by unwrap() into ValueError.

#include <cstdint>
#include <expected>
#include <utility>

#include "frame/python.hpp"
#include "lodestra_core/verror.hpp"

namespace lodestra_py {

// The shared PanicException class, created at module initialisation.
extern PyObject* panic_exception;

// Sets the Python exception for the active C++ exception; call from a catch block.
void translate_active_exception();

template <class Body>
auto guard(Body&& body, decltype(body()) failure) noexcept -> decltype(body()) {
  try {
    return body();
  } catch (...) {
    translate_active_exception();
    return failure;
  }
}

template <class Body>
PyObject* guard(Body&& body) noexcept {
  return guard(std::forward<Body>(body), static_cast<PyObject*>(nullptr));
}

// After a runner: one RuntimeWarning when its field stopped being finite, naming the
// first step seen so (first_non_finite = UINT64_MAX: none) and its time dt * step.
void warn_if_non_finite(std::uint64_t first_non_finite, double dt);

// The value of an engine result, or ValueError with the error's display text.
void raise_verror(const lodestra_core::VError& error);

template <class T>
T unwrap(std::expected<T, lodestra_core::VError>&& result) {
  if (!result) raise_verror(result.error());
  return std::move(*result);
}

inline void unwrap(std::expected<void, lodestra_core::VError>&& result) {
  if (!result) raise_verror(result.error());
}

}  // namespace lodestra_py
