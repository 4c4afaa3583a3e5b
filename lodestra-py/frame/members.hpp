#pragma once
// Table-driven members: read-only and settable properties over a struct field,
// and argument-free methods, each running inside the guard.

#include <cstdint>
#include <functional>
#include <type_traits>
#include <utility>

#include "frame/args.hpp"
#include "frame/classes.hpp"
#include "frame/convert.hpp"
#include "frame/guard.hpp"

namespace lodestra_py {

inline PyObject* to_py(std::int8_t value) { return to_py(static_cast<std::int64_t>(value)); }
inline PyObject* to_py(const std::pair<std::uint64_t, std::uint64_t>& pair) {
  Ref first(to_py(pair.first));
  Ref second(to_py(pair.second));
  return check(PyTuple_Pack(2, first.get(), second.get()));
}

template <class T, auto Member>
PyObject* get_member(PyObject* self, void*) {
  return guard([&] { return to_py(unbox<T>(self).*Member); });
}

// Stores the converted value without validating it; deleting is refused.
template <class T, auto Member>
int set_member(PyObject* self, PyObject* value, void*) {
  return guard(
      [&] {
        if (value == nullptr) raise(PyExc_AttributeError, "can't delete attribute");
        auto& field = unbox<T>(self).*Member;
        if constexpr (std::is_same_v<std::remove_cvref_t<decltype(field)>, double>) {
          field = to_real(value, "v");
        } else {
          field = to_count(value, "v");
        }
        return 0;
      },
      -1);
}

// A method without arguments returning Fn(value); `Name` is "Class.method".
template <class T, auto Fn, const char* Name>
PyObject* method0(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guard([&] {
    no_args(Name, args, kwargs);
    return to_py(std::invoke(Fn, unbox<T>(self)));
  });
}

// Casts a keyword-taking C function to the generic slot type of PyMethodDef.
template <class F>
PyCFunction as_method(F* fn) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}

inline constexpr int kCallFlags = METH_VARARGS | METH_KEYWORDS;
inline constexpr int kStaticFlags = METH_VARARGS | METH_KEYWORDS | METH_STATIC;

}  // namespace lodestra_py
