#include "frame/args.hpp"

#include <string>

namespace lodestra_py {
namespace {

std::string quoted_list(std::span<const char* const> names) {
  // Python's wording: 'a'; 'a' and 'b'; 'a', 'b', and 'c'.
  std::string out;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) out += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
    out += "'" + std::string(names[i]) + "'";
  }
  return out;
}

[[noreturn]] void too_many(const char* function, std::size_t most, std::size_t required,
                           std::size_t given) {
  std::string takes = most == required
                          ? std::to_string(most)
                          : "from " + std::to_string(required) + " to " + std::to_string(most);
  raise(PyExc_TypeError, std::string(function) + "() takes " + takes + " positional argument" +
                             (most == 1 ? "" : "s") + " but " + std::to_string(given) +
                             (given == 1 ? " was" : " were") + " given");
}

}  // namespace

Args::Args(const char* function, std::span<const char* const> names, std::size_t required,
           PyObject* args, PyObject* kwargs)
    : names_(names) {
  const std::size_t n_pos = args ? static_cast<std::size_t>(PyTuple_Size(args)) : 0;
  if (n_pos > names.size()) too_many(function, names.size(), required, n_pos);
  for (std::size_t i = 0; i < n_pos; ++i) values_[i] = PyTuple_GetItem(args, Py_ssize_t(i));

  if (kwargs != nullptr) {
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    Py_ssize_t pos = 0;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      const char* keyword = PyUnicode_Check(key) ? PyUnicode_AsUTF8(key) : nullptr;
      if (keyword == nullptr) {
        PyErr_Clear();
        raise(PyExc_TypeError, std::string(function) + "() keywords must be strings");
      }
      std::size_t slot = names.size();
      for (std::size_t i = 0; i < names.size(); ++i) {
        if (std::string_view(names[i]) == keyword) slot = i;
      }
      if (slot == names.size()) {
        raise(PyExc_TypeError,
              std::string(function) + "() got an unexpected keyword argument '" + keyword + "'");
      }
      if (values_[slot] != nullptr) {
        raise(PyExc_TypeError,
              std::string(function) + "() got multiple values for argument '" + keyword + "'");
      }
      values_[slot] = value;
    }
  }

  const char* missing[kMaxArgs];
  std::size_t n_missing = 0;
  for (std::size_t i = 0; i < required; ++i) {
    if (values_[i] == nullptr) missing[n_missing++] = names[i];
  }
  if (n_missing > 0) {
    raise(PyExc_TypeError, std::string(function) + "() missing " + std::to_string(n_missing) +
                               " required positional argument" + (n_missing == 1 ? "" : "s") +
                               ": " + quoted_list({missing, n_missing}));
  }
}

void no_args(const char* function, PyObject* args, PyObject* kwargs) {
  Args(function, {}, 0, args, kwargs);
}

}  // namespace lodestra_py
