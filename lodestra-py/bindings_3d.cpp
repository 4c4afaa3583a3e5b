// The 3D surface: its classes first, then its functions, each at its place in
// the module's table.

#include "bindings.hpp"
#include "frame/registry.hpp"

namespace lodestra_py::bindings_3d {

void register_names(PyObject* module) { (void)module; }

}  // namespace lodestra_py::bindings_3d
