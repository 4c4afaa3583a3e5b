#include "frame/classes.hpp"

#include <string>
#include <vector>

namespace lodestra_py {
namespace {

PyObject* no_constructor(PyTypeObject* type, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError, ("No constructor defined for " + type_name_of(type)).c_str());
  return nullptr;
}

}  // namespace

std::string type_name_of(PyTypeObject* type) {
  Ref name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__name__"));
  const char* text = name.get() ? PyUnicode_AsUTF8(name.get()) : nullptr;
  if (text == nullptr) {
    PyErr_Clear();
    return "?";
  }
  return text;
}

PyTypeObject* make_class(const ClassDef& def, int basic_size, destructor dealloc) {
  std::vector<PyType_Slot> slots = {
      {Py_tp_doc, const_cast<char*>(def.doc)},
      {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
      {Py_tp_new, reinterpret_cast<void*>(def.new_instance ? def.new_instance : no_constructor)},
  };
  if (def.methods) slots.push_back({Py_tp_methods, def.methods});
  if (def.getset) slots.push_back({Py_tp_getset, def.getset});
  if (def.repr) slots.push_back({Py_tp_repr, reinterpret_cast<void*>(def.repr)});
  if (def.length) slots.push_back({Py_sq_length, reinterpret_cast<void*>(def.length)});
  slots.push_back({0, nullptr});

  unsigned int flags = Py_TPFLAGS_DEFAULT;
#ifdef Py_TPFLAGS_IMMUTABLETYPE
  flags |= Py_TPFLAGS_IMMUTABLETYPE;
#endif
  PyType_Spec spec = {def.qualified_name, basic_size, 0, flags, slots.data()};
  return reinterpret_cast<PyTypeObject*>(check(PyType_FromSpec(&spec)));
}

}  // namespace lodestra_py
