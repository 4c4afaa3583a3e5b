#pragma once
// One converter per declared argument type. A TypeError raised while converting
// is re-raised as "argument 'NAME': <message>"; any other failure (such as the
// OverflowError of a negative count) passes unchanged.

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "frame/classes.hpp"
#include "frame/python.hpp"

namespace lodestra_py {

// Re-raises the pending TypeError with the argument prefix; other errors as they are.
[[noreturn]] void argument_error(const char* name);

// Grid counts and seeds: an integer from 0 to 2^64 - 1 (any object with __index__).
std::uint64_t to_count(PyObject* obj, const char* name);
// Reals: anything that converts to float, except complex numbers (Python's, NumPy's complex
// scalars and 0-d complex arrays), which are refused rather than losing their imaginary part.
double to_real(PyObject* obj, const char* name);
// Flags: exactly True or False.
bool to_flag(PyObject* obj, const char* name);
// Paths: a str (path objects are refused), encoded with the file-system encoding.
// A path holding a NUL character is refused with ValueError: the file system would
// silently cut it there and write somewhere else.
std::string to_path(PyObject* obj, const char* name);

// An instance of one of the module's classes, borrowed for the call.
template <class T>
const T& to_object(PyObject* obj, const char* name) {
  if (!PyObject_TypeCheck(obj, class_of<T>)) {
    PyErr_SetString(PyExc_TypeError, ("'" + type_name(obj) + "' object cannot be converted to '" +
                                      type_name_of(class_of<T>) + "'")
                                         .c_str());
    argument_error(name);
  }
  return unbox<T>(obj);
}

// A float64 NumPy array (either byte order, any strides) of exactly `ndim` dimensions,
// checked but not yet copied, so that the caller compares its shape with the grid first:
// a wrongly shaped array, even a broadcast view of 2^40 rows, is refused before anything
// is allocated. Borrowed for the call.
struct ArrayView {
  PyArrayObject* array = nullptr;
  std::vector<std::uint64_t> shape;
  const char* name = "";

  // The values in logical row-major order and native byte order, in new storage. Storage
  // that cannot be allocated is a MemoryError naming the argument and its shape.
  std::vector<double> copy() const;
};
ArrayView array_view(PyObject* obj, int ndim, const char* name);

class Args;

// The arguments of every from_numpy: arr (argument 0, a float64 array of `ndim` dimensions),
// the grid counts (arguments 1 to n_counts) and dx (the next). The array is checked first,
// so its TypeError comes before the others'; then the counts and dx are converted, which may
// run Python code (__index__, __float__) that resizes, reshapes or retypes the array; only
// then is the array checked again, its shape read and given to `check_shape` (which raises
// ValueError for a shape that does not fit the counts) and its values copied, with no Python
// code in between. The array is held for the whole conversion.
struct GridArray {
  std::vector<std::uint64_t> counts;
  double dx = 0.0;
  std::vector<double> values;
};
using ShapeCheck = std::function<void(const std::vector<std::uint64_t>& counts,
                                      const std::vector<std::uint64_t>& shape)>;
GridArray from_numpy_args(const Args& a, int ndim, std::size_t n_counts,
                          const ShapeCheck& check_shape);

// The checked array and its copy at once, for callers that need no shape check first.
struct ArrayCopy {
  std::vector<std::uint64_t> shape;
  std::vector<double> values;
};
ArrayCopy to_array(PyObject* obj, int ndim, const char* name);

// New C-ordered float64 arrays owning a copy of (or freshly computed) values.
PyObject* new_array(const std::vector<std::uint64_t>& shape);
double* array_data(PyObject* array);
PyObject* array_from(const double* values, const std::vector<std::uint64_t>& shape);

// Text to a new str.
inline PyObject* unicode(const std::string& text) {
  return check(PyUnicode_FromString(text.c_str()));
}

// A new list of new objects owning the records, in the engine's order.
template <class Record>
PyObject* list_of(std::vector<Record> records) {
  Ref list(check(PyList_New(static_cast<Py_ssize_t>(records.size()))));
  for (std::size_t i = 0; i < records.size(); ++i) {
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), wrap(std::move(records[i])));
  }
  return list.release();
}

// Scalars to Python.
inline PyObject* to_py(double value) { return check(PyFloat_FromDouble(value)); }
inline PyObject* to_py(std::uint64_t value) { return check(PyLong_FromUnsignedLongLong(value)); }
inline PyObject* to_py(std::int64_t value) { return check(PyLong_FromLongLong(value)); }

}  // namespace lodestra_py
