// The 3D surface: its classes first, then its functions, each at its place in
// the module's table.

#include "bindings.hpp"
#include "frame/registry.hpp"

namespace lodestra_py::bindings_3d {

void register_names(PyObject* module) {
  add_class(module, "RidiParams3D", make_ridi_params_3d_class());
  add_class(module, "QField3D", make_qfield3d_class());
  add_class(module, "VelocityField3D", make_velocity_field3d_class());
  add_class(module, "ScalarField3D", make_scalar_field3d_class());
  add_class(module, "SnapStats3D", make_snap_stats_3d_class());
  add_class(module, "BechStats3D", make_bech_stats_3d_class());
  add_class(module, "DisclinationLine", make_disclination_line_class());
  add_class(module, "DisclinationEvent", make_disclination_event_class());
  add_function(module, &run_ridi_3d_def);
  add_function(module, &run_ridi_3d_full_def);
}

}  // namespace lodestra_py::bindings_3d
