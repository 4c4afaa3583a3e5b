// The compiled core, lodestra._core: creation, its docstring, and the
// registration list. Each entry sets the module attribute and appends its name
// to __all__, in this order: the 2D surface here, then the 3D surface through
// bindings_3d. The package's __init__.py re-exports all of it as `lodestra`.

#define LODESTRA_IMPORTS_ARRAY
#include "bindings.hpp"
#include "frame/guard.hpp"
#include "frame/pickle.hpp"
#include "frame/registry.hpp"

namespace lodestra_py {
namespace {

constexpr const char kModuleDoc[] =
    "lodestra -- active nematics simulation library (bindings written directly on the "
    "Python C API).\n"
    "\n"
    "Build\n"
    "-----\n"
    "  python3 -m pip install scikit-build-core numpy\n"
    "  cd lodestra  # workspace root\n"
    "  python3 -m pip install --no-build-isolation -C cmake.build-type=Release -e .\n"
    "\n"
    "Quick start\n"
    "-----------\n"
    "  import lodestra, numpy as np\n"
    "  p  = lodestra.RidiParams.default_test()\n"
    "  q0 = lodestra.QField2D.random_perturbation(p.nx, p.ny, p.dx, 0.001, 42)\n"
    "  q_fin, stats = lodestra.run_ridi_component1(q0, p, 5000, 100)\n"
    "  S = np.array(q_fin.order_param()).reshape(p.nx, p.ny)\n";

constexpr const char kPanicDoc[] =
    "Raised when the library's own code fails (an internal precondition is broken).\n"
    "\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so that it\n"
    "typically propagates all the way up and makes the interpreter exit.";

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "lodestra._core",
    kModuleDoc,
    -1,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

PyObject* create_module() {
  if (_import_array() < 0) throw PythonError{};
  Ref module(check(PyModule_Create(&module_def)));

  panic_exception = check(PyErr_NewExceptionWithDoc("lodestra.PanicException", kPanicDoc,
                                                    PyExc_BaseException, nullptr));
  Py_INCREF(panic_exception);
  set_attribute(module.get(), "PanicException", panic_exception);

  PyObject* m = module.get();
  add_class(m, "RidiParams", make_ridi_params_class());
  add_class(m, "QField2D", make_qfield2d_class());
  add_class(m, "ScalarField2D", make_scalar_field2d_class());
  add_class(m, "VelocityField2D", make_velocity_field2d_class());
  add_class(m, "SnapStats", make_snap_stats_class());
  add_class(m, "BechStats", make_bech_stats_class());
  add_class(m, "DefectInfo", make_defect_info_class());
  add_function(m, &run_ridi_component1_def);
  add_function(m, &run_ridi_component1_hydro_def);
  add_function(m, &run_ridi_bech_def);
  add_function(m, &stokes_solve_def);
  add_function(m, &k0_convolution_def);
  add_function(m, &scan_defects_def);
  add_function(m, &ch_step_etd_def);
  bindings_3d::register_names(m);
  // Pickle's reconstructor: a module attribute, not one of the module's names.
  add_restore_function(m);
  register_runs(m);
  add_private_functions(m);
  return module.release();
}

}  // namespace
}  // namespace lodestra_py

PyMODINIT_FUNC PyInit__core() { return lodestra_py::guard(lodestra_py::create_module); }
