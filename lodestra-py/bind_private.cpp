// Private functions of the core for the pure-Python package: the thread count that
// lodestra.set_num_threads / get_num_threads re-export, and the VTK point arrays of a 3D
// field that lodestra.io writes. Module attributes, never among the published names.

#include <string>

#include "bindings.hpp"
#include "frame/args.hpp"
#include "frame/classes.hpp"
#include "frame/convert.hpp"
#include "frame/guard.hpp"
#include "frame/members.hpp"
#include "frame/registry.hpp"
#include "lodestra_core/threads.hpp"
#include "lodestra_fields/fields3d.hpp"

namespace lodestra_py {
namespace {

// More threads than this is a mistake (a count of cores is meant), not a request.
constexpr std::uint64_t kMaxThreads = 1024;

PyObject* set_num_threads(PyObject*, PyObject* args, PyObject* kwargs) {
  static constexpr const char* names[] = {"n"};
  return guard([&] {
    Args a("_set_num_threads", names, 1, args, kwargs);
    const std::uint64_t n = a.count(0);
    if (n < 1 || n > kMaxThreads) {
      raise(PyExc_ValueError,
            "the number of threads must be from 1 to 1024, got " + std::to_string(n));
    }
    lodestra_core::set_num_threads(static_cast<std::size_t>(n));
    Py_RETURN_NONE;
  });
}

PyObject* get_num_threads(PyObject*, PyObject* args, PyObject* kwargs) {
  return guard([&] {
    no_args("_get_num_threads", args, kwargs);
    return to_py(static_cast<std::uint64_t>(lodestra_core::num_threads()));
  });
}

PyObject* set_min_parallel_work(PyObject*, PyObject* args, PyObject* kwargs) {
  static constexpr const char* names[] = {"items"};
  return guard([&] {
    Args a("_set_min_parallel_work", names, 1, args, kwargs);
    const std::uint64_t before = lodestra_core::min_parallel_work();
    lodestra_core::set_min_parallel_work(a.count(0));
    return to_py(before);
  });
}

PyObject* vtk_point_arrays(PyObject*, PyObject* args, PyObject* kwargs) {
  static constexpr const char* names[] = {"q"};
  return guard([&] {
    Args a("_vtk_point_arrays", names, 1, args, kwargs);
    const lodestra_fields::QField3D& q = a.object<lodestra_fields::QField3D>(0);
    const std::uint64_t n = q.len();
    Ref comps(new_array({n, 5}));
    Ref s(new_array({n}));
    Ref p(new_array({n}));
    Ref director(new_array({n, 3}));
    lodestra_fields::vtk_point_arrays(q, array_data(comps.get()), array_data(s.get()),
                                      array_data(p.get()), array_data(director.get()));
    return check(PyTuple_Pack(4, comps.get(), s.get(), p.get(), director.get()));
  });
}

PyMethodDef private_defs[] = {
    {"_set_num_threads", as_method(set_num_threads), kCallFlags,
     "_set_num_threads(n)\n--\n\nUse n threads (1 to 1024) in the engine's loops."},
    {"_get_num_threads", as_method(get_num_threads), kCallFlags,
     "_get_num_threads()\n--\n\nThe number of threads the engine's loops use."},
    {"_set_min_parallel_work", as_method(set_min_parallel_work), kCallFlags,
     "_set_min_parallel_work(items)\n--\n\n"
     "Work below which a loop runs on one thread; returns the previous value."},
    {"_vtk_point_arrays", as_method(vtk_point_arrays), kCallFlags,
     "_vtk_point_arrays(q)\n--\n\n"
     "Q (N, 5), S (N,), P (N,) and the director (N, 3) of a QField3D in VTK point order."},
};

}  // namespace

void add_private_functions(PyObject* module) {
  Ref module_name(check(PyUnicode_FromString("lodestra._core")));
  for (PyMethodDef& def : private_defs) {
    set_attribute(module, def.ml_name, check(PyCFunction_NewEx(&def, nullptr, module_name.get())));
  }
}

}  // namespace lodestra_py
