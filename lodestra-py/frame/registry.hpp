#pragma once
// Registration of the module's names. Each entry sets the module attribute and
// appends the name to __all__ (created empty by the first entry), so __all__ lists
// the names in the order they were registered.
//
// Attributes are set with PyObject_SetAttrString, which takes its own reference:
// PyModule_AddObjectRef is absent from PyPy's C API and from CPython before 3.10.

#include "frame/python.hpp"

namespace lodestra_py {

// Sets module.name = object (a new reference of the caller's, released here).
void set_attribute(PyObject* module, const char* name, PyObject* owned);

void add_class(PyObject* module, const char* name, PyTypeObject* type);
void add_function(PyObject* module, PyMethodDef* def);

}  // namespace lodestra_py
