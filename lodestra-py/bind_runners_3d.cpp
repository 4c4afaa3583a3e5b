// The 3D runners and their records: SnapStats3D, BechStats3D, run_ridi_3d and
// run_ridi_3d_full.

#include "bindings.hpp"
#include "frame/members.hpp"
#include "frame/pickle.hpp"
#include "lodestra_core/format.hpp"
#include "lodestra_solver/run_3d.hpp"

namespace lodestra_py {

struct SnapStats3DMembers {
  template <class S, class F>
  static void each(S& s, F&& f) {
    each_of(f, s.time, s.mean_s, s.biaxiality_p, s.n_disclination_lines, s.total_line_length,
            s.mean_line_curvature, s.n_events);
  }
};

struct BechStats3DMembers {
  template <class S, class F>
  static void each(S& s, F&& f) {
    each_of(f, s.time, s.mean_s, s.biaxiality_p, s.mean_phi, s.n_disclination_lines,
            s.total_line_length, s.mean_line_curvature, s.n_events);
  }
};

// Members added to a record must be added to its list above.
static_assert(sizeof(lodestra_solver::SnapStats3D) == 7 * 8);
static_assert(sizeof(lodestra_solver::BechStats3D) == 8 * 8);

template <>
struct State<lodestra_solver::SnapStats3D>
    : RecordState<lodestra_solver::SnapStats3D, SnapStats3DMembers> {};
template <>
struct State<lodestra_solver::BechStats3D>
    : RecordState<lodestra_solver::BechStats3D, BechStats3DMembers> {};

namespace {

using lodestra_core::fmt_fixed;
using lodestra_core::fmt_int;
using lodestra_core::RidiParams3D;
using lodestra_fields::QField3D;
using lodestra_fields::ScalarField3D;
using lodestra_solver::BechStats3D;
using lodestra_solver::Model3D;
using lodestra_solver::RunState3D;
using lodestra_solver::SnapStats3D;

template <class T, auto Member>
constexpr PyGetSetDef field(const char* name, const char* doc) {
  return {name, get_member<T, Member>, nullptr, doc, nullptr};
}

constexpr const char kTimeDoc[] = "Simulation time at this snapshot.";
constexpr const char kMeanSDoc[] = "Spatial mean of the scalar order parameter S.";
constexpr const char kBiaxialityDoc[] = "Spatial mean of the biaxiality parameter P.";
constexpr const char kLinesDoc[] = "Number of connected disclination lines detected.";
constexpr const char kLengthDoc[] = "Total disclination line length in vertex units.";
constexpr const char kCurvatureDoc[] = "Mean Frenet curvature along all disclination lines.";
constexpr const char kEventsDoc[] = "Number of topological events since the previous snapshot.";

PyObject* snap3d_repr(PyObject* self) {
  return guard([&] {
    const SnapStats3D& s = unbox<SnapStats3D>(self);
    return unicode("SnapStats3D(time=" + fmt_fixed(s.time, 4) +
                   ", mean_s=" + fmt_fixed(s.mean_s, 4) +
                   ", n_disclination_lines=" + fmt_int(s.n_disclination_lines) +
                   ", total_line_length=" + fmt_fixed(s.total_line_length, 4) + ")");
  });
}

PyGetSetDef snap3d_getset[] = {
    field<SnapStats3D, &SnapStats3D::time>("time", kTimeDoc),
    field<SnapStats3D, &SnapStats3D::mean_s>("mean_s", kMeanSDoc),
    field<SnapStats3D, &SnapStats3D::biaxiality_p>("biaxiality_p", kBiaxialityDoc),
    field<SnapStats3D, &SnapStats3D::n_disclination_lines>("n_disclination_lines", kLinesDoc),
    field<SnapStats3D, &SnapStats3D::total_line_length>("total_line_length", kLengthDoc),
    field<SnapStats3D, &SnapStats3D::mean_line_curvature>("mean_line_curvature", kCurvatureDoc),
    field<SnapStats3D, &SnapStats3D::n_events>("n_events", kEventsDoc),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyObject* bech3d_repr(PyObject* self) {
  return guard([&] {
    const BechStats3D& s = unbox<BechStats3D>(self);
    return unicode("BechStats3D(time=" + fmt_fixed(s.time, 4) +
                   ", mean_s=" + fmt_fixed(s.mean_s, 4) + ", mean_phi=" + fmt_fixed(s.mean_phi, 4) +
                   ", n_disclination_lines=" + fmt_int(s.n_disclination_lines) +
                   ", total_line_length=" + fmt_fixed(s.total_line_length, 4) + ")");
  });
}

PyGetSetDef bech3d_getset[] = {
    field<BechStats3D, &BechStats3D::time>("time", kTimeDoc),
    field<BechStats3D, &BechStats3D::mean_s>("mean_s", kMeanSDoc),
    field<BechStats3D, &BechStats3D::biaxiality_p>("biaxiality_p", kBiaxialityDoc),
    field<BechStats3D, &BechStats3D::mean_phi>("mean_phi",
                                               "Spatial mean of the lipid concentration phi."),
    field<BechStats3D, &BechStats3D::n_disclination_lines>("n_disclination_lines", kLinesDoc),
    field<BechStats3D, &BechStats3D::total_line_length>("total_line_length", kLengthDoc),
    field<BechStats3D, &BechStats3D::mean_line_curvature>("mean_line_curvature", kCurvatureDoc),
    field<BechStats3D, &BechStats3D::n_events>("n_events", kEventsDoc),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef snap3d_methods[] = {reduce_method<SnapStats3D>(), {nullptr, nullptr, 0, nullptr}};
PyMethodDef bech3d_methods[] = {reduce_method<BechStats3D>(), {nullptr, nullptr, 0, nullptr}};

PyObject* run_ridi_3d(PyObject*, PyObject* args, PyObject* kwargs) {
  static constexpr const char* names[] = {"q_init",     "params",  "n_steps",
                                          "snap_every", "out_dir", "track_defects"};
  return guard([&] {
    Args a("run_ridi_3d", names, 6, args, kwargs);
    const QField3D& q_init = a.object<QField3D>(0);
    const RidiParams3D& params = a.object<RidiParams3D>(1);
    const auto n_steps = a.count(2);
    const auto snap_every = a.count(3);
    const std::string out_dir = to_path(a.raw(4), names[4]);
    const bool track = to_flag(a.raw(5), names[5]);
    RunState3D s = lodestra_solver::drive_3d(Model3D::dry, q_init, nullptr, params, n_steps,
                                             snap_every, out_dir, track);
    warn_if_non_finite(s.first_non_finite, params.dt);
    Ref field_obj(wrap(std::move(s.q)));
    Ref records(list_of(std::move(s.records)));
    return check(PyTuple_Pack(2, field_obj.get(), records.get()));
  });
}

PyObject* run_ridi_3d_full(PyObject*, PyObject* args, PyObject* kwargs) {
  static constexpr const char* names[] = {"q_init",     "phi_init", "params",       "n_steps",
                                          "snap_every", "out_dir",  "track_defects"};
  return guard([&] {
    Args a("run_ridi_3d_full", names, 7, args, kwargs);
    const QField3D& q_init = a.object<QField3D>(0);
    const ScalarField3D& phi_init = a.object<ScalarField3D>(1);
    const RidiParams3D& params = a.object<RidiParams3D>(2);
    const auto n_steps = a.count(3);
    const auto snap_every = a.count(4);
    const std::string out_dir = to_path(a.raw(5), names[5]);
    const bool track = to_flag(a.raw(6), names[6]);
    RunState3D s = lodestra_solver::drive_3d(Model3D::bech, q_init, &phi_init, params, n_steps,
                                             snap_every, out_dir, track);
    warn_if_non_finite(s.first_non_finite, params.dt);
    Ref q_obj(wrap(std::move(s.q)));
    Ref phi_obj(wrap(std::move(s.phi)));
    Ref records(list_of(std::move(s.bech_records)));
    return check(PyTuple_Pack(3, q_obj.get(), phi_obj.get(), records.get()));
  });
}

}  // namespace

PyTypeObject* make_snap_stats_3d_class() {
  return picklable<SnapStats3D>(make_class_for<SnapStats3D>({
      .qualified_name = "builtins.SnapStats3D",
      .doc = "Per-snapshot statistics for the dry active nematic run (run_ridi_3d).",
      .methods = snap3d_methods,
      .getset = snap3d_getset,
      .repr = snap3d_repr,
  }));
}

PyTypeObject* make_bech_stats_3d_class() {
  return picklable<BechStats3D>(make_class_for<BechStats3D>({
      .qualified_name = "builtins.BechStats3D",
      .doc = "Per-snapshot statistics for the full BECH run (run_ridi_3d_full).",
      .methods = bech3d_methods,
      .getset = bech3d_getset,
      .repr = bech3d_repr,
  }));
}

PyMethodDef run_ridi_3d_def = {
    "run_ridi_3d", as_method(run_ridi_3d), kCallFlags,
    "run_ridi_3d(q_init, params, n_steps, snap_every, out_dir, track_defects)\n--\n\n"
    "Run the dry 3D active nematic model for `n_steps` Euler steps.\n\n"
    "Snapshots are written to `out_dir` every `snap_every` steps. Returns\n"
    "`(q_final, stats)` where `stats` contains one `SnapStats3D` per snapshot."};

PyMethodDef run_ridi_3d_full_def = {
    "run_ridi_3d_full", as_method(run_ridi_3d_full), kCallFlags,
    "run_ridi_3d_full(q_init, phi_init, params, n_steps, snap_every, out_dir, track_defects)\n"
    "--\n\n"
    "Run the full BECH 3D model (Beris-Edwards + Stokes + Cahn-Hilliard) for `n_steps` steps.\n\n"
    "Snapshots are written to `out_dir` every `snap_every` steps. Returns\n"
    "`(q_final, phi_final, stats)` where `stats` contains one `BechStats3D` per snapshot."};

}  // namespace lodestra_py
