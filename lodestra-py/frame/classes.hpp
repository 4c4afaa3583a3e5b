#pragma once
// Engine values as Python objects. Every class of the module is a heap type whose
// instances hold one engine value (Box<T>); class_of<T> is its class object, set
// once at registration. Classes are named "builtins.X", so `__module__` reads
// "builtins" and `__name__` is the engine type's name.

#include <new>
#include <utility>

#include "frame/python.hpp"

namespace lodestra_py {

template <class T>
struct Box {
  PyObject_HEAD T value;
};

template <class T>
inline PyTypeObject* class_of = nullptr;

// A new instance owning `value`.
template <class T>
PyObject* wrap(T value) {
  PyObject* obj = check(PyType_GenericAlloc(class_of<T>, 0));
  new (&reinterpret_cast<Box<T>*>(obj)->value) T(std::move(value));
  return obj;
}

template <class T>
T& unbox(PyObject* self) {
  return reinterpret_cast<Box<T>*>(self)->value;
}

template <class T>
void dealloc_box(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<Box<T>*>(self)->value.~T();
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);
}

// What a class shows to Python. `new_instance` is the constructor; without one,
// calling the class raises "No constructor defined for X".
struct ClassDef {
  const char* qualified_name;  // "builtins.QField2D"
  const char* doc;
  PyMethodDef* methods = nullptr;
  PyGetSetDef* getset = nullptr;
  reprfunc repr = nullptr;
  lenfunc length = nullptr;
  newfunc new_instance = nullptr;
};

PyTypeObject* make_class(const ClassDef& def, int basic_size, destructor dealloc);

template <class T>
PyTypeObject* make_class_for(const ClassDef& def) {
  PyTypeObject* type = make_class(def, static_cast<int>(sizeof(Box<T>)), &dealloc_box<T>);
  class_of<T> = type;
  return type;
}

}  // namespace lodestra_py
