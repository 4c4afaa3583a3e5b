#include <charconv>
#include <exception>
#include <limits>
#include <new>
#include <stdexcept>
#include <string>

#include "frame/guard.hpp"
#include "lodestra_core/panic.hpp"
#include "lodestra_core/sizes.hpp"

namespace lodestra_py {

PyObject* panic_exception = nullptr;

void raise(PyObject* type, const std::string& message) {
  PyErr_SetString(type, message.c_str());
  throw PythonError{};
}

PyObject* check(PyObject* result) {
  if (result == nullptr) throw PythonError{};
  return result;
}

void raise_verror(const lodestra_core::VError& error) {
  raise(PyExc_ValueError, lodestra_core::to_string(error));
}

void translate_active_exception() {
  try {
    throw;
  } catch (const PythonError&) {
    // The exception is already set.
  } catch (const lodestra_core::Panic& p) {
    PyErr_SetString(panic_exception, p.what());
  } catch (const lodestra_core::AllocationError& e) {
    PyErr_SetString(PyExc_MemoryError, e.what());
  } catch (const std::bad_alloc&) {
    PyErr_SetString(PyExc_MemoryError, "cannot allocate working storage (out of memory)");
  } catch (const std::length_error&) {
    PyErr_SetString(PyExc_MemoryError, "cannot allocate working storage (size limit)");
  } catch (const std::overflow_error& e) {
    PyErr_SetString(PyExc_OverflowError, e.what());
  } catch (const std::exception& e) {
    PyErr_SetString(panic_exception, e.what());
  } catch (...) {
    PyErr_SetString(panic_exception, "unknown internal error");
  }
}

void warn_if_non_finite(std::uint64_t first_non_finite, double dt) {
  if (first_non_finite == std::numeric_limits<std::uint64_t>::max()) return;
  char time[32];
  const auto end =
      std::to_chars(time, time + sizeof time, dt * static_cast<double>(first_non_finite));
  const std::string message =
      "the field became non-finite at step " + std::to_string(first_non_finite) +
      " (t = " + std::string(time, end.ptr) + "); defect counts after it are 0";
  if (PyErr_WarnEx(PyExc_RuntimeWarning, message.c_str(), 1) < 0) throw PythonError{};
}

}  // namespace lodestra_py
