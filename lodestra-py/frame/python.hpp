#pragma once
// The binding layer's view of the interpreter: Python.h and NumPy's C API in one
// place, an owning reference type, and the C++ exception that says "a Python
// exception is already set".

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#define PY_ARRAY_UNIQUE_SYMBOL lodestra_ARRAY_API
#ifndef LODESTRA_IMPORTS_ARRAY
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

#include <string>
#include <utility>

namespace lodestra_py {

// Thrown after a Python exception has been set; the guard returns NULL for it.
struct PythonError {};

// Sets `type` with `message` and unwinds to the guard.
[[noreturn]] void raise(PyObject* type, const std::string& message);
// Unwinds to the guard if `result` is NULL (a Python API call failed).
PyObject* check(PyObject* result);

// An owned (strong) reference, released on scope exit.
class Ref {
 public:
  Ref() = default;
  explicit Ref(PyObject* owned) : ptr_(owned) {}
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    std::swap(ptr_, other.ptr_);
    return *this;
  }
  ~Ref() { Py_XDECREF(ptr_); }

  PyObject* get() const { return ptr_; }
  PyObject* release() { return std::exchange(ptr_, nullptr); }

 private:
  PyObject* ptr_ = nullptr;
};

// The `__name__` of a class, and of an object's class, for messages.
std::string type_name_of(PyTypeObject* type);
inline std::string type_name(PyObject* obj) { return type_name_of(Py_TYPE(obj)); }

}  // namespace lodestra_py
