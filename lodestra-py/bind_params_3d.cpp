// RidiParams3D: the 3D parameter set. kappa_w, kappa_bar_g and epsilon_ch are
// engine-only: every set made here holds their defaults.

#include "bindings.hpp"
#include "frame/members.hpp"
#include "frame/pickle.hpp"
#include "lodestra_core/format.hpp"
#include "lodestra_core/params3d.hpp"

namespace lodestra_py {

// Every member, the three engine-only ones included.
struct RidiParams3DMembers {
  template <class P, class F>
  static void each(P& p, F&& f) {
    each_of(f, p.nx, p.ny, p.nz, p.dx, p.dt, p.k_r, p.gamma_r, p.zeta_eff, p.eta, p.a_landau,
            p.c_landau, p.b_landau, p.lambda_, p.noise_amp, p.chi_a, p.b0, p.omega_b, p.k_l,
            p.gamma_l, p.xi_l, p.chi_ms, p.kappa_ch, p.a_ch, p.b_ch, p.m_l, p.kappa_w,
            p.kappa_bar_g, p.epsilon_ch);
  }
};

// A member added to the set must be added to the list above.
static_assert(sizeof(lodestra_core::RidiParams3D) == 28 * 8);

template <>
struct State<lodestra_core::RidiParams3D>
    : RecordState<lodestra_core::RidiParams3D, RidiParams3DMembers> {};

namespace {

using lodestra_core::RidiParams3D;

constexpr const char* kCtorArgs[] = {"nx",       "ny",       "nz",       "dx",      "dt",
                                     "k_r",      "gamma_r",  "zeta_eff", "eta",     "a_landau",
                                     "c_landau", "b_landau", "lambda_",  "k_l",     "gamma_l",
                                     "xi_l",     "chi_ms",   "kappa_ch", "a_ch",    "b_ch",
                                     "m_l",      "chi_a",    "b0",       "omega_b", "noise_amp"};

PyObject* ridi_params_3d_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  return guard([&] {
    Args a("RidiParams3D", kCtorArgs, 21, args, kwargs);
    RidiParams3D p{};
    p.nx = a.count(0);
    p.ny = a.count(1);
    p.nz = a.count(2);
    p.dx = a.real(3);
    p.dt = a.real(4);
    p.k_r = a.real(5);
    p.gamma_r = a.real(6);
    p.zeta_eff = a.real(7);
    p.eta = a.real(8);
    p.a_landau = a.real(9);
    p.c_landau = a.real(10);
    p.b_landau = a.real(11);
    p.lambda_ = a.real(12);
    p.k_l = a.real(13);
    p.gamma_l = a.real(14);
    p.xi_l = a.real(15);
    p.chi_ms = a.real(16);
    p.kappa_ch = a.real(17);
    p.a_ch = a.real(18);
    p.b_ch = a.real(19);
    p.m_l = a.real(20);
    p.chi_a = a.real_or(21, 0.0);
    p.b0 = a.real_or(22, 1.0);
    p.omega_b = a.real_or(23, 1.0);
    p.noise_amp = a.real_or(24, 0.0);
    p.kappa_w = 0.0;
    p.kappa_bar_g = 0.0;
    p.epsilon_ch = 1.0;
    unwrap(p.validate());
    return wrap(p);
  });
}

PyObject* default_test(PyObject*, PyObject* args, PyObject* kwargs) {
  return guard([&] {
    no_args("RidiParams3D.default_test", args, kwargs);
    return wrap(RidiParams3D::default_test());
  });
}

PyObject* validate(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guard([&] {
    no_args("RidiParams3D.validate", args, kwargs);
    unwrap(unbox<RidiParams3D>(self).validate());
    Py_RETURN_NONE;
  });
}

PyObject* repr(PyObject* self) {
  return guard([&] {
    const RidiParams3D& p = unbox<RidiParams3D>(self);
    using namespace lodestra_core;
    const std::string text = "RidiParams3D(nx=" + fmt_int(p.nx) + ", ny=" + fmt_int(p.ny) +
                             ", nz=" + fmt_int(p.nz) + ", zeta_eff=" + fmt_fixed(p.zeta_eff, 4) +
                             ", a_eff=" + fmt_fixed(p.a_eff(), 4) +
                             ", Pi=" + fmt_fixed(p.pi_number(), 4) + ")";
    return check(PyUnicode_FromString(text.c_str()));
  });
}

constexpr char kAEff[] = "RidiParams3D.a_eff";
constexpr char kDefectLength[] = "RidiParams3D.defect_length";
constexpr char kPiNumber[] = "RidiParams3D.pi_number";
constexpr char kChCoherence[] = "RidiParams3D.ch_coherence_length";
constexpr char kPhiEq[] = "RidiParams3D.phi_eq";

PyMethodDef methods[] = {
    {"default_test", as_method(default_test), kStaticFlags,
     "default_test()\n--\n\n"
     "Construct the default test parameter set (16x16x16 grid, active turbulent phase)."},
    {"a_eff", as_method(method0<RidiParams3D, &RidiParams3D::a_eff, kAEff>), kCallFlags,
     "a_eff($self)\n--\n\nEffective Landau parameter a_eff = a_landau - zeta_eff / 2."},
    {"defect_length", as_method(method0<RidiParams3D, &RidiParams3D::defect_length, kDefectLength>),
     kCallFlags, "defect_length($self)\n--\n\nDefect length scale ld = sqrt(K_r / zeta_eff)."},
    {"pi_number", as_method(method0<RidiParams3D, &RidiParams3D::pi_number, kPiNumber>), kCallFlags,
     "pi_number($self)\n--\n\n"
     "Dimensionless existence condition Pi = K_r / (Gamma_l * eta * K_l)."},
    {"ch_coherence_length",
     as_method(method0<RidiParams3D, &RidiParams3D::ch_coherence_length, kChCoherence>), kCallFlags,
     "ch_coherence_length($self)\n--\n\n"
     "Cahn-Hilliard coherence length xi_CH = sqrt(kappa_ch / a_ch)."},
    {"phi_eq", as_method(method0<RidiParams3D, &RidiParams3D::phi_eq, kPhiEq>), kCallFlags,
     "phi_eq($self)\n--\n\nEquilibrium lipid fraction phi_eq = sqrt(a_ch / b_ch)."},
    {"validate", as_method(validate), kCallFlags,
     "validate($self)\n--\n\nValidate that parameters are physically reasonable."},
    reduce_method<RidiParams3D>(),
    {nullptr, nullptr, 0, nullptr},
};

template <auto Member>
constexpr PyGetSetDef read_only(const char* name) {
  return {name, get_member<RidiParams3D, Member>, nullptr, nullptr, nullptr};
}
template <auto Member>
constexpr PyGetSetDef settable(const char* name) {
  return {name, get_member<RidiParams3D, Member>, set_member<RidiParams3D, Member>, nullptr,
          nullptr};
}

PyGetSetDef getset[] = {
    settable<&RidiParams3D::nx>("nx"),
    settable<&RidiParams3D::ny>("ny"),
    settable<&RidiParams3D::nz>("nz"),
    read_only<&RidiParams3D::dx>("dx"),
    settable<&RidiParams3D::dt>("dt"),
    read_only<&RidiParams3D::k_r>("k_r"),
    read_only<&RidiParams3D::gamma_r>("gamma_r"),
    settable<&RidiParams3D::zeta_eff>("zeta_eff"),
    read_only<&RidiParams3D::eta>("eta"),
    read_only<&RidiParams3D::a_landau>("a_landau"),
    read_only<&RidiParams3D::c_landau>("c_landau"),
    read_only<&RidiParams3D::b_landau>("b_landau"),
    read_only<&RidiParams3D::lambda_>("lambda_"),
    read_only<&RidiParams3D::k_l>("k_l"),
    read_only<&RidiParams3D::gamma_l>("gamma_l"),
    read_only<&RidiParams3D::xi_l>("xi_l"),
    read_only<&RidiParams3D::chi_ms>("chi_ms"),
    read_only<&RidiParams3D::kappa_ch>("kappa_ch"),
    read_only<&RidiParams3D::a_ch>("a_ch"),
    read_only<&RidiParams3D::b_ch>("b_ch"),
    read_only<&RidiParams3D::m_l>("m_l"),
    read_only<&RidiParams3D::chi_a>("chi_a"),
    read_only<&RidiParams3D::b0>("b0"),
    read_only<&RidiParams3D::omega_b>("omega_b"),
    settable<&RidiParams3D::noise_amp>("noise_amp"),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyTypeObject* make_ridi_params_3d_class() {
  return picklable<RidiParams3D>(make_class_for<RidiParams3D>({
      .qualified_name = "builtins.RidiParams3D",
      .doc = "RidiParams3D(nx, ny, nz, dx, dt, k_r, gamma_r, zeta_eff, eta, a_landau, c_landau, "
             "b_landau, lambda_, k_l, gamma_l, xi_l, chi_ms, kappa_ch, a_ch, b_ch, m_l, "
             "chi_a=0.0, b0=1.0, omega_b=1.0, noise_amp=0.0)\n--\n\n"
             "All physical and numerical parameters for the 3D RIDI + lipid simulation.",
      .methods = methods,
      .getset = getset,
      .repr = repr,
      .new_instance = ridi_params_3d_new,
  }));
}

}  // namespace lodestra_py
