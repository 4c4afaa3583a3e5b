#include "frame/registry.hpp"

namespace lodestra_py {
namespace {

void add(PyObject* module, const char* name, PyObject* owned) {
  Ref object(owned);
  Ref all(PyObject_GetAttrString(module, "__all__"));
  if (!all.get()) {
    PyErr_Clear();
    all = Ref(check(PyList_New(0)));
    if (PyObject_SetAttrString(module, "__all__", all.get()) != 0) throw PythonError{};
  }
  Ref key(check(PyUnicode_FromString(name)));
  if (PyList_Append(all.get(), key.get()) != 0) throw PythonError{};
  if (PyObject_SetAttrString(module, name, object.get()) != 0) throw PythonError{};
}

}  // namespace

void set_attribute(PyObject* module, const char* name, PyObject* owned) {
  Ref object(owned);
  if (PyObject_SetAttrString(module, name, object.get()) != 0) throw PythonError{};
}

// The module holds the class's one reference; class_of<T> borrows it.
void add_class(PyObject* module, const char* name, PyTypeObject* type) {
  add(module, name, reinterpret_cast<PyObject*>(type));
}

void add_function(PyObject* module, PyMethodDef* def) {
  Ref module_name(check(PyUnicode_FromString("lodestra")));
  add(module, def->ml_name, check(PyCFunction_NewEx(def, nullptr, module_name.get())));
}

}  // namespace lodestra_py
