#include "frame/convert.hpp"

#include <bit>
#include <cstring>
#include <string>
#include <utility>

#include "frame/args.hpp"
#include "lodestra_core/format.hpp"
#include "lodestra_core/sizes.hpp"

namespace lodestra_py {

void argument_error(const char* name) {
  if (PyErr_ExceptionMatches(PyExc_TypeError)) {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    Ref owned_type(type);
    Ref owned_value(value);
    Ref owned_traceback(traceback);
    Ref text(value ? PyObject_Str(value) : nullptr);
    const char* message = text.get() ? PyUnicode_AsUTF8(text.get()) : nullptr;
    if (message == nullptr) PyErr_Clear();
    raise(PyExc_TypeError,
          std::string("argument '") + name + "': " + (message ? message : "invalid value"));
  }
  throw PythonError{};
}

std::uint64_t to_count(PyObject* obj, const char* name) {
  Ref index(PyNumber_Index(obj));
  if (!index.get()) argument_error(name);
  const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) argument_error(name);
  return value;
}

namespace {

bool is_complex(PyObject* obj) {
  if (PyComplex_Check(obj) || PyArray_IsScalar(obj, ComplexFloating)) return true;
  return PyArray_Check(obj) && PyArray_ISCOMPLEX(reinterpret_cast<PyArrayObject*>(obj));
}

}  // namespace

double to_real(PyObject* obj, const char* name) {
  if (is_complex(obj)) {
    PyErr_SetString(PyExc_TypeError, ("must be real number, not " + type_name(obj)).c_str());
    argument_error(name);
  }
  const double value = PyFloat_AsDouble(obj);
  if (value == -1.0 && PyErr_Occurred()) argument_error(name);
  return value;
}

namespace {

[[noreturn]] void wrong_type(PyObject* obj, const char* expected, const char* name) {
  PyErr_SetString(
      PyExc_TypeError,
      ("'" + type_name(obj) + "' object cannot be converted to '" + expected + "'").c_str());
  argument_error(name);
}

}  // namespace

bool to_flag(PyObject* obj, const char* name) {
  if (!PyBool_Check(obj)) wrong_type(obj, "bool", name);
  return obj == Py_True;
}

std::string to_path(PyObject* obj, const char* name) {
  if (!PyUnicode_Check(obj)) wrong_type(obj, "str", name);
  Ref encoded(check(PyUnicode_EncodeFSDefault(obj)));
  const char* bytes = PyBytes_AsString(encoded.get());
  if (bytes == nullptr) throw PythonError{};
  std::string path(bytes, static_cast<std::size_t>(PyBytes_Size(encoded.get())));
  if (path.find('\0') != std::string::npos) {
    raise(PyExc_ValueError, std::string("argument '") + name + "': embedded null character");
  }
  return path;
}

namespace {

std::string dims_text(int ndim) { return std::to_string(ndim) + "-dimensional float64 array"; }

}  // namespace

ArrayView array_view(PyObject* obj, int ndim, const char* name) {
  if (!PyArray_Check(obj)) {
    PyErr_SetString(
        PyExc_TypeError,
        ("'" + type_name(obj) + "' object cannot be converted to a " + dims_text(ndim)).c_str());
    argument_error(name);
  }
  auto* array = reinterpret_cast<PyArrayObject*>(obj);
  // Either byte order: a big-endian float64 is a float64, swapped while copying.
  if (PyArray_TYPE(array) != NPY_DOUBLE) {
    Ref dtype_text(PyObject_Str(reinterpret_cast<PyObject*>(PyArray_DESCR(array))));
    const char* dtype = dtype_text.get() ? PyUnicode_AsUTF8(dtype_text.get()) : nullptr;
    if (dtype == nullptr) PyErr_Clear();
    PyErr_SetString(PyExc_TypeError, (std::string("array of dtype ") + (dtype ? dtype : "?") +
                                      " cannot be converted to a " + dims_text(ndim))
                                         .c_str());
    argument_error(name);
  }
  if (PyArray_NDIM(array) != ndim) {
    PyErr_SetString(PyExc_TypeError,
                    (std::to_string(PyArray_NDIM(array)) +
                     "-dimensional array cannot be converted to a " + dims_text(ndim))
                        .c_str());
    argument_error(name);
  }
  ArrayView view;
  view.array = array;
  view.name = name;
  for (int d = 0; d < ndim; ++d)
    view.shape.push_back(static_cast<std::uint64_t>(PyArray_DIM(array, d)));
  return view;
}

std::vector<double> ArrayView::copy() const {
  std::uint64_t total = 1;
  for (std::uint64_t extent : shape) total = lodestra_core::checked_mul(total, extent);
  std::vector<double> values = lodestra_core::allocate_values(total, 0.0, [&] {
    std::string text = "a copy of argument '" + std::string(name) + "' of shape (";
    for (std::size_t d = 0; d < shape.size(); ++d) {
      text += (d ? ", " : "") + lodestra_core::fmt_int(shape[d]);
    }
    return text + (shape.size() == 1 ? ",)" : ")");
  });
  if (total == 0) return values;

  const int ndim = static_cast<int>(shape.size());
  const char* base = static_cast<const char*>(PyArray_DATA(array));
  if (PyArray_IS_C_CONTIGUOUS(array)) {
    std::memcpy(values.data(), base, total * sizeof(double));
  } else {
    // Any strides (negative, zero and unaligned included): walk the logical index in
    // row-major order with an odometer over the dimensions.
    std::vector<npy_intp> index(static_cast<std::size_t>(ndim), 0);
    const npy_intp* strides = PyArray_STRIDES(array);
    const npy_intp* dims = PyArray_DIMS(array);
    for (std::uint64_t k = 0; k < total; ++k) {
      npy_intp offset = 0;
      for (int d = 0; d < ndim; ++d) offset += index[std::size_t(d)] * strides[d];
      std::memcpy(&values[k], base + offset, sizeof(double));
      for (int d = ndim - 1; d >= 0; --d) {
        if (++index[std::size_t(d)] < dims[d]) break;
        index[std::size_t(d)] = 0;
      }
    }
  }
  if (!PyArray_ISNOTSWAPPED(array)) {
    for (double& value : values) {
      value = std::bit_cast<double>(std::byteswap(std::bit_cast<std::uint64_t>(value)));
    }
  }
  return values;
}

ArrayCopy to_array(PyObject* obj, int ndim, const char* name) {
  ArrayView view = array_view(obj, ndim, name);
  std::vector<double> values = view.copy();
  return ArrayCopy{std::move(view.shape), std::move(values)};
}

GridArray from_numpy_args(const Args& a, int ndim, std::size_t n_counts,
                          const ShapeCheck& check_shape) {
  Py_INCREF(a.raw(0));
  Ref held(a.raw(0));
  (void)array_view(held.get(), ndim, "arr");
  GridArray out;
  for (std::size_t i = 1; i <= n_counts; ++i) out.counts.push_back(a.count(i));
  out.dx = a.real(n_counts + 1);
  const ArrayView arr = array_view(held.get(), ndim, "arr");
  check_shape(out.counts, arr.shape);
  out.values = arr.copy();
  return out;
}

PyObject* new_array(const std::vector<std::uint64_t>& shape) {
  npy_intp dims[NPY_MAXDIMS];
  std::uint64_t total = 1;
  for (std::size_t d = 0; d < shape.size(); ++d) {
    total = lodestra_core::checked_mul(total, shape[d]);
    dims[d] = static_cast<npy_intp>(shape[d]);
  }
  return check(PyArray_SimpleNew(static_cast<int>(shape.size()), dims, NPY_DOUBLE));
}

double* array_data(PyObject* array) {
  return static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array)));
}

PyObject* array_from(const double* values, const std::vector<std::uint64_t>& shape) {
  PyObject* array = new_array(shape);
  std::uint64_t total = 1;
  for (std::uint64_t extent : shape) total *= extent;
  if (total > 0) std::memcpy(array_data(array), values, total * sizeof(double));
  return array;
}

}  // namespace lodestra_py
