// SnapStats, BechStats and DefectInfo: read-only records made by the engine.

#include "bindings.hpp"
#include "frame/members.hpp"
#include "frame/pickle.hpp"
#include "lodestra_core/format.hpp"
#include "lodestra_solver/defects_2d.hpp"
#include "lodestra_solver/drivers_2d.hpp"

namespace lodestra_py {

struct SnapStatsMembers {
  template <class S, class F>
  static void each(S& s, F&& f) {
    each_of(f, s.time, s.mean_s, s.n_defects, s.n_plus, s.n_minus, s.defect_density);
  }
};

struct BechStatsMembers {
  template <class S, class F>
  static void each(S& s, F&& f) {
    each_of(f, s.time, s.mean_s, s.n_defects, s.n_plus, s.n_minus, s.defect_density, s.mean_phi,
            s.phi_variance, s.mean_grad_phi_sq);
  }
};

// Members added to a record must be added to its list above.
static_assert(sizeof(lodestra_solver::SnapStats) == 6 * 8);
static_assert(sizeof(lodestra_solver::BechStats) == 9 * 8);

template <>
struct State<lodestra_solver::SnapStats>
    : RecordState<lodestra_solver::SnapStats, SnapStatsMembers> {};
template <>
struct State<lodestra_solver::BechStats>
    : RecordState<lodestra_solver::BechStats, BechStatsMembers> {};

// The plaquette corner, the angle, and the charge sign as one byte: +1 or -1.
template <>
struct State<lodestra_solver::DefectInfo> {
  static void write(StateWriter& w, const lodestra_solver::DefectInfo& d) {
    w.count(d.plaquette.first);
    w.count(d.plaquette.second);
    w.real(d.angle);
    w.byte(static_cast<std::uint8_t>(d.charge_sign));
  }
  static lodestra_solver::DefectInfo read(StateReader& r) {
    lodestra_solver::DefectInfo d{};
    d.plaquette.first = r.count();
    d.plaquette.second = r.count();
    d.angle = r.real();
    d.charge_sign = static_cast<std::int8_t>(r.byte());
    if (d.charge_sign != 1 && d.charge_sign != -1) r.fail("charge sign is not +1 or -1");
    return d;
  }
};

namespace {

using lodestra_core::fmt_fixed;
using lodestra_core::fmt_int;
using lodestra_core::fmt_sci;
using lodestra_solver::BechStats;
using lodestra_solver::DefectInfo;
using lodestra_solver::SnapStats;

template <class T, auto Member>
constexpr PyGetSetDef field(const char* name) {
  return {name, get_member<T, Member>, nullptr, nullptr, nullptr};
}

PyObject* snap_repr(PyObject* self) {
  return guard([&] {
    const SnapStats& s = unbox<SnapStats>(self);
    return unicode("SnapStats(t=" + fmt_fixed(s.time, 3) + ", <S>=" + fmt_fixed(s.mean_s, 4) +
                   ", n_def=" + fmt_int(s.n_defects) + ", rho_d=" + fmt_sci(s.defect_density, 4) +
                   ")");
  });
}

PyMethodDef snap_methods[] = {reduce_method<SnapStats>(), {nullptr, nullptr, 0, nullptr}};
PyMethodDef bech_methods[] = {reduce_method<BechStats>(), {nullptr, nullptr, 0, nullptr}};
PyMethodDef defect_methods[] = {reduce_method<DefectInfo>(), {nullptr, nullptr, 0, nullptr}};

PyGetSetDef snap_getset[] = {
    field<SnapStats, &SnapStats::time>("time"),
    field<SnapStats, &SnapStats::mean_s>("mean_s"),
    field<SnapStats, &SnapStats::n_defects>("n_defects"),
    field<SnapStats, &SnapStats::n_plus>("n_plus"),
    field<SnapStats, &SnapStats::n_minus>("n_minus"),
    field<SnapStats, &SnapStats::defect_density>("defect_density"),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyObject* bech_repr(PyObject* self) {
  return guard([&] {
    const BechStats& s = unbox<BechStats>(self);
    return unicode("BechStats(t=" + fmt_fixed(s.time, 3) + ", <S>=" + fmt_fixed(s.mean_s, 4) +
                   ", n_def=" + fmt_int(s.n_defects) + ", <φ>=" + fmt_fixed(s.mean_phi, 4) +
                   ", Var[φ]=" + fmt_sci(s.phi_variance, 4) + ")");
  });
}

PyGetSetDef bech_getset[] = {
    field<BechStats, &BechStats::time>("time"),
    field<BechStats, &BechStats::mean_s>("mean_s"),
    field<BechStats, &BechStats::n_defects>("n_defects"),
    field<BechStats, &BechStats::n_plus>("n_plus"),
    field<BechStats, &BechStats::n_minus>("n_minus"),
    field<BechStats, &BechStats::defect_density>("defect_density"),
    field<BechStats, &BechStats::mean_phi>("mean_phi"),
    field<BechStats, &BechStats::phi_variance>("phi_variance"),
    field<BechStats, &BechStats::mean_grad_phi_sq>("mean_grad_phi_sq"),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyObject* defect_repr(PyObject* self) {
  return guard([&] {
    const DefectInfo& d = unbox<DefectInfo>(self);
    return unicode("DefectInfo(plaquette=(" + fmt_int(d.plaquette.first) + "," +
                   fmt_int(d.plaquette.second) + "), angle=" + fmt_fixed(d.angle, 3) +
                   ", charge=" + fmt_int(std::int64_t{d.charge_sign}) + ")");
  });
}

PyGetSetDef defect_getset[] = {
    field<DefectInfo, &DefectInfo::plaquette>("plaquette"),
    field<DefectInfo, &DefectInfo::angle>("angle"),
    field<DefectInfo, &DefectInfo::charge_sign>("charge_sign"),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyTypeObject* make_snap_stats_class() {
  return picklable<SnapStats>(make_class_for<SnapStats>({
      .qualified_name = "builtins.SnapStats",
      .doc = "Per-snapshot statistics from a simulation run.",
      .methods = snap_methods,
      .getset = snap_getset,
      .repr = snap_repr,
  }));
}

PyTypeObject* make_bech_stats_class() {
  return picklable<BechStats>(make_class_for<BechStats>({
      .qualified_name = "builtins.BechStats",
      .doc = "Per-snapshot statistics from a BECH (full two-field) simulation run.",
      .methods = bech_methods,
      .getset = bech_getset,
      .repr = bech_repr,
  }));
}

PyTypeObject* make_defect_info_class() {
  return picklable<DefectInfo>(make_class_for<DefectInfo>({
      .qualified_name = "builtins.DefectInfo",
      .doc = "Detected topological disclination with plaquette location and charge.",
      .methods = defect_methods,
      .getset = defect_getset,
      .repr = defect_repr,
  }));
}

}  // namespace lodestra_py
