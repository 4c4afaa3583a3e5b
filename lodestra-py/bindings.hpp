#pragma once
// What each binding file exports to the module's registration list.

#include "frame/python.hpp"

namespace lodestra_py {

PyTypeObject* make_ridi_params_class();
PyTypeObject* make_qfield2d_class();
PyTypeObject* make_scalar_field2d_class();
PyTypeObject* make_velocity_field2d_class();
PyTypeObject* make_snap_stats_class();
PyTypeObject* make_bech_stats_class();
PyTypeObject* make_defect_info_class();
PyTypeObject* make_ridi_params_3d_class();
PyTypeObject* make_qfield3d_class();
PyTypeObject* make_velocity_field3d_class();
PyTypeObject* make_scalar_field3d_class();

extern PyMethodDef run_ridi_component1_def;
extern PyMethodDef run_ridi_component1_hydro_def;
extern PyMethodDef run_ridi_bech_def;
extern PyMethodDef stokes_solve_def;
extern PyMethodDef k0_convolution_def;
extern PyMethodDef scan_defects_def;
extern PyMethodDef ch_step_etd_def;

PyTypeObject* make_snap_stats_3d_class();
PyTypeObject* make_disclination_line_class();
PyTypeObject* make_disclination_event_class();
PyTypeObject* make_bech_stats_3d_class();
extern PyMethodDef run_ridi_3d_def;
extern PyMethodDef run_ridi_3d_full_def;

// The private engine of lodestra.Simulation: _Run and _make_run, outside __all__.
void register_runs(PyObject* module);
// The private functions of the package (bind_private.cpp): module attributes only.
void add_private_functions(PyObject* module);

namespace bindings_3d {
// Registers the 3D surface, in table order, after the 2D names. (The routine would
// be called `register`, which C++ reserves as a keyword.)
void register_names(PyObject* module);
}  // namespace bindings_3d

}  // namespace lodestra_py
