// SnapStats, BechStats and DefectInfo: read-only records made by the engine.

#include "bindings.hpp"
#include "frame/members.hpp"
#include "lodestra_core/format.hpp"
#include "lodestra_solver/defects_2d.hpp"
#include "lodestra_solver/drivers_2d.hpp"

namespace lodestra_py {
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
  return make_class_for<SnapStats>({
      .qualified_name = "builtins.SnapStats",
      .doc = "Per-snapshot statistics from a simulation run.",
      .getset = snap_getset,
      .repr = snap_repr,
  });
}

PyTypeObject* make_bech_stats_class() {
  return make_class_for<BechStats>({
      .qualified_name = "builtins.BechStats",
      .doc = "Per-snapshot statistics from a BECH (full two-field) simulation run.",
      .getset = bech_getset,
      .repr = bech_repr,
  });
}

PyTypeObject* make_defect_info_class() {
  return make_class_for<DefectInfo>({
      .qualified_name = "builtins.DefectInfo",
      .doc = "Detected topological disclination with plaquette location and charge.",
      .getset = defect_getset,
      .repr = defect_repr,
  });
}

}  // namespace lodestra_py
