// The 2D module functions: the three drivers and the single operators.

#include "bindings.hpp"
#include "frame/members.hpp"
#include "lodestra_solver/ch_2d.hpp"
#include "lodestra_solver/defects_2d.hpp"
#include "lodestra_solver/drivers_2d.hpp"
#include "lodestra_solver/run_2d.hpp"
#include "lodestra_solver/stokes_2d.hpp"

namespace lodestra_py {
namespace {

using lodestra_core::RidiParams;
using lodestra_fields::QField2D;
using lodestra_fields::ScalarField2D;
using lodestra_fields::VelocityField2D;
using lodestra_solver::Model2D;
using lodestra_solver::RunState2D;

constexpr const char* kDriverArgs[] = {"q_init", "params", "n_steps", "snap_every"};

template <Model2D kModel>
PyObject* run_component1(const char* name, PyObject* args, PyObject* kwargs) {
  Args a(name, kDriverArgs, 4, args, kwargs);
  const QField2D& q_init = a.object<QField2D>(0);
  const RidiParams& params = a.object<RidiParams>(1);
  const auto n_steps = a.count(2);
  const auto snap_every = a.count(3);
  RunState2D s = lodestra_solver::drive_2d(kModel, q_init, nullptr, params, n_steps, snap_every);
  warn_if_non_finite(s.first_non_finite, params.dt);
  Ref field(wrap(std::move(s.q)));
  Ref records(list_of(std::move(s.records)));
  return check(PyTuple_Pack(2, field.get(), records.get()));
}

PyObject* run_ridi_component1(PyObject*, PyObject* args, PyObject* kwargs) {
  return guard([&] { return run_component1<Model2D::dry>("run_ridi_component1", args, kwargs); });
}

PyObject* run_ridi_component1_hydro(PyObject*, PyObject* args, PyObject* kwargs) {
  return guard(
      [&] { return run_component1<Model2D::hydro>("run_ridi_component1_hydro", args, kwargs); });
}

PyObject* run_ridi_bech(PyObject*, PyObject* args, PyObject* kwargs) {
  static constexpr const char* names[] = {"q_init", "phi_init", "params", "n_steps", "snap_every"};
  return guard([&] {
    Args a("run_ridi_bech", names, 5, args, kwargs);
    const QField2D& q_init = a.object<QField2D>(0);
    const ScalarField2D& phi_init = a.object<ScalarField2D>(1);
    const RidiParams& params = a.object<RidiParams>(2);
    const auto n_steps = a.count(3);
    const auto snap_every = a.count(4);
    RunState2D s =
        lodestra_solver::drive_2d(Model2D::bech, q_init, &phi_init, params, n_steps, snap_every);
    warn_if_non_finite(s.first_non_finite, params.dt);
    Ref q_obj(wrap(std::move(s.q)));
    Ref phi_obj(wrap(std::move(s.phi)));
    Ref records(list_of(std::move(s.bech_records)));
    return check(PyTuple_Pack(3, q_obj.get(), phi_obj.get(), records.get()));
  });
}

PyObject* stokes_solve(PyObject*, PyObject* args, PyObject* kwargs) {
  static constexpr const char* names[] = {"q", "params"};
  return guard([&] {
    Args a("stokes_solve", names, 2, args, kwargs);
    const QField2D& q = a.object<QField2D>(0);
    const RidiParams& params = a.object<RidiParams>(1);
    return wrap(lodestra_solver::stokes_solve(q, params));
  });
}

PyObject* k0_convolution(PyObject*, PyObject* args, PyObject* kwargs) {
  static constexpr const char* names[] = {"q_rot", "params"};
  return guard([&] {
    Args a("k0_convolution", names, 2, args, kwargs);
    const QField2D& q_rot = a.object<QField2D>(0);
    const RidiParams& params = a.object<RidiParams>(1);
    return wrap(lodestra_solver::k0_convolution(q_rot, params));
  });
}

PyObject* scan_defects(PyObject*, PyObject* args, PyObject* kwargs) {
  static constexpr const char* names[] = {"q", "threshold"};
  return guard([&] {
    Args a("scan_defects", names, 1, args, kwargs);
    const QField2D& q = a.object<QField2D>(0);
    const double threshold = a.real_or(1, lodestra_solver::kDefectThreshold);
    return list_of(lodestra_solver::scan_defects(q, threshold));
  });
}

PyObject* ch_step_etd(PyObject*, PyObject* args, PyObject* kwargs) {
  static constexpr const char* names[] = {"phi", "q_lip", "v", "params"};
  return guard([&] {
    Args a("ch_step_etd", names, 4, args, kwargs);
    const ScalarField2D& phi = a.object<ScalarField2D>(0);
    const QField2D& q_lip = a.object<QField2D>(1);
    const VelocityField2D& v = a.object<VelocityField2D>(2);
    const RidiParams& params = a.object<RidiParams>(3);
    return wrap(lodestra_solver::ch_step_etd(phi, q_lip, v, params));
  });
}

}  // namespace

PyMethodDef run_ridi_component1_def = {
    "run_ridi_component1", as_method(run_ridi_component1), kCallFlags,
    "run_ridi_component1(q_init, params, n_steps, snap_every)\n--\n\n"
    "Run Component 1: single-phase RIDI dry active nematic.\n\n"
    "Returns (QField2D, list[SnapStats])."};

PyMethodDef run_ridi_component1_hydro_def = {
    "run_ridi_component1_hydro", as_method(run_ridi_component1_hydro), kCallFlags,
    "run_ridi_component1_hydro(q_init, params, n_steps, snap_every)\n--\n\n"
    "Run Component 1 with full hydrodynamic flow coupling (spectral Stokes).\n\n"
    "At each time step the Stokes velocity field is re-computed from the active\n"
    "stress `σ^a = ζ_eff Q` via the stream-function biharmonic equation solved\n"
    "spectrally. This enables the active flow instability that drives turbulence\n"
    "with the scaling `ρ_d ~ ζ_eff / K_r`.\n\n"
    "Returns `(QField2D, list[SnapStats])`."};

PyMethodDef run_ridi_bech_def = {
    "run_ridi_bech", as_method(run_ridi_bech), kCallFlags,
    "run_ridi_bech(q_init, phi_init, params, n_steps, snap_every)\n--\n\n"
    "Run the full Beris-Edwards-Cahn-Hilliard (BECH) simulation.\n\n"
    "Couples the active rotor Q-field (BE + Stokes) to the lyotropic lipid\n"
    "volume fraction φ_l (CH-ETD1 + Maier-Saupe).  See `run_ridi_bech` in\n"
    "lodestra-solver for the full algorithm description.\n\n"
    "Returns `(QField2D, ScalarField2D, list[BechStats])`."};

PyMethodDef stokes_solve_def = {
    "stokes_solve", as_method(stokes_solve), kCallFlags,
    "stokes_solve(q, params)\n--\n\n"
    "Solve the 2D incompressible Stokes equation for the active velocity field.\n\n"
    "Returns the velocity field driven by `σ^a = ζ_eff Q` via spectral inversion\n"
    "of the stream-function biharmonic equation."};

PyMethodDef k0_convolution_def = {"k0_convolution", as_method(k0_convolution), kCallFlags,
                                  "k0_convolution(q_rot, params)\n--\n\n"
                                  "Apply the K₀ transfer map Q_lip = M_SM(Q_rot)."};

PyMethodDef scan_defects_def = {"scan_defects", as_method(scan_defects), kCallFlags,
                                "scan_defects(q, threshold=...)\n--\n\n"
                                "Holonomy-based disclination detection.\n\n"
                                "threshold: rotation angle cutoff in radians (default: pi/2)."};

PyMethodDef ch_step_etd_def = {
    "ch_step_etd", as_method(ch_step_etd), kCallFlags,
    "ch_step_etd(phi, q_lip, v, params)\n--\n\n"
    "Advance the CH field by one ETD1 step.\n\n"
    "Useful for custom time-loop control from Python (e.g., alternating\n"
    "parameter sweeps or checkpointing at non-uniform intervals)."};

}  // namespace lodestra_py
