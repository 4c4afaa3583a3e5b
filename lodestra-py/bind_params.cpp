// RidiParams: the 2D parameter set, the only 2D class with a constructor.

#include "bindings.hpp"
#include "frame/members.hpp"
#include "frame/pickle.hpp"
#include "lodestra_core/format.hpp"
#include "lodestra_core/params.hpp"

namespace lodestra_py {

struct RidiParamsMembers {
  template <class P, class F>
  static void each(P& p, F&& f) {
    each_of(f, p.nx, p.ny, p.dx, p.dt, p.k_r, p.gamma_r, p.zeta_eff, p.eta, p.a_landau, p.c_landau,
            p.lambda_, p.noise_amp, p.k_l, p.gamma_l, p.xi_l, p.chi_ms, p.kappa_ch, p.a_ch, p.b_ch,
            p.m_l);
  }
};

// A member added to the set must be added to the list above.
static_assert(sizeof(lodestra_core::RidiParams) == 20 * 8);

template <>
struct State<lodestra_core::RidiParams>
    : RecordState<lodestra_core::RidiParams, RidiParamsMembers> {};

namespace {

using lodestra_core::RidiParams;

constexpr const char* kCtorArgs[] = {"nx",      "ny",       "dx",      "dt",       "k_r",
                                     "gamma_r", "zeta_eff", "eta",     "a_landau", "c_landau",
                                     "lambda_", "k_l",      "gamma_l", "xi_l",     "noise_amp",
                                     "chi_ms",  "kappa_ch", "a_ch",    "b_ch",     "m_l"};

PyObject* ridi_params_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  return guard([&] {
    Args a("RidiParams", kCtorArgs, 14, args, kwargs);
    RidiParams p{};
    p.nx = a.count(0);
    p.ny = a.count(1);
    p.dx = a.real(2);
    p.dt = a.real(3);
    p.k_r = a.real(4);
    p.gamma_r = a.real(5);
    p.zeta_eff = a.real(6);
    p.eta = a.real(7);
    p.a_landau = a.real(8);
    p.c_landau = a.real(9);
    p.lambda_ = a.real(10);
    p.k_l = a.real(11);
    p.gamma_l = a.real(12);
    p.xi_l = a.real(13);
    p.noise_amp = a.real_or(14, 0.0);
    p.chi_ms = a.real_or(15, 0.5);
    p.kappa_ch = a.real_or(16, 1.0);
    p.a_ch = a.real_or(17, 1.0);
    p.b_ch = a.real_or(18, 1.0);
    p.m_l = a.real_or(19, 0.1);
    unwrap(p.validate());
    return wrap(p);
  });
}

PyObject* default_test(PyObject*, PyObject* args, PyObject* kwargs) {
  return guard([&] {
    no_args("RidiParams.default_test", args, kwargs);
    return wrap(RidiParams::default_test());
  });
}

PyObject* validate(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guard([&] {
    no_args("RidiParams.validate", args, kwargs);
    unwrap(unbox<RidiParams>(self).validate());
    Py_RETURN_NONE;
  });
}

PyObject* repr(PyObject* self) {
  return guard([&] {
    const RidiParams& p = unbox<RidiParams>(self);
    using namespace lodestra_core;
    const std::string text = "RidiParams(nx=" + fmt_int(p.nx) + ", ny=" + fmt_int(p.ny) +
                             ", zeta_eff=" + fmt_fixed(p.zeta_eff, 4) +
                             ", a_eff=" + fmt_fixed(p.a_eff(), 4) +
                             ", Pi=" + fmt_fixed(p.pi_number(), 4) + ")";
    return check(PyUnicode_FromString(text.c_str()));
  });
}

constexpr char kAEff[] = "RidiParams.a_eff";
constexpr char kDefectLength[] = "RidiParams.defect_length";
constexpr char kPiNumber[] = "RidiParams.pi_number";
constexpr char kChCoherence[] = "RidiParams.ch_coherence_length";
constexpr char kPhiEq[] = "RidiParams.phi_eq";

PyMethodDef methods[] = {
    {"default_test", as_method(default_test), kStaticFlags, "default_test()\n--\n\n"},
    {"a_eff", as_method(method0<RidiParams, &RidiParams::a_eff, kAEff>), kCallFlags,
     "a_eff($self)\n--\n\n"},
    {"defect_length", as_method(method0<RidiParams, &RidiParams::defect_length, kDefectLength>),
     kCallFlags, "defect_length($self)\n--\n\n"},
    {"pi_number", as_method(method0<RidiParams, &RidiParams::pi_number, kPiNumber>), kCallFlags,
     "pi_number($self)\n--\n\n"},
    {"ch_coherence_length",
     as_method(method0<RidiParams, &RidiParams::ch_coherence_length, kChCoherence>), kCallFlags,
     "ch_coherence_length($self)\n--\n\n"},
    {"phi_eq", as_method(method0<RidiParams, &RidiParams::phi_eq, kPhiEq>), kCallFlags,
     "phi_eq($self)\n--\n\n"},
    {"validate", as_method(validate), kCallFlags, "validate($self)\n--\n\n"},
    reduce_method<RidiParams>(),
    {nullptr, nullptr, 0, nullptr},
};

template <auto Member>
constexpr PyGetSetDef read_only(const char* name) {
  return {name, get_member<RidiParams, Member>, nullptr, nullptr, nullptr};
}
template <auto Member>
constexpr PyGetSetDef settable(const char* name) {
  return {name, get_member<RidiParams, Member>, set_member<RidiParams, Member>, nullptr, nullptr};
}

PyGetSetDef getset[] = {
    settable<&RidiParams::nx>("nx"),
    settable<&RidiParams::ny>("ny"),
    read_only<&RidiParams::dx>("dx"),
    settable<&RidiParams::dt>("dt"),
    read_only<&RidiParams::k_r>("k_r"),
    read_only<&RidiParams::gamma_r>("gamma_r"),
    settable<&RidiParams::zeta_eff>("zeta_eff"),
    read_only<&RidiParams::eta>("eta"),
    read_only<&RidiParams::a_landau>("a_landau"),
    read_only<&RidiParams::c_landau>("c_landau"),
    read_only<&RidiParams::lambda_>("lambda_"),
    settable<&RidiParams::noise_amp>("noise_amp"),
    read_only<&RidiParams::k_l>("k_l"),
    read_only<&RidiParams::gamma_l>("gamma_l"),
    read_only<&RidiParams::xi_l>("xi_l"),
    settable<&RidiParams::chi_ms>("chi_ms"),
    settable<&RidiParams::kappa_ch>("kappa_ch"),
    settable<&RidiParams::a_ch>("a_ch"),
    settable<&RidiParams::b_ch>("b_ch"),
    settable<&RidiParams::m_l>("m_l"),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyTypeObject* make_ridi_params_class() {
  return picklable<RidiParams>(make_class_for<RidiParams>({
      .qualified_name = "builtins.RidiParams",
      .doc = "RidiParams(nx, ny, dx, dt, k_r, gamma_r, zeta_eff, eta, a_landau, c_landau, "
             "lambda_, k_l, gamma_l, xi_l, noise_amp=0.0, chi_ms=0.5, kappa_ch=1.0, a_ch=1.0, "
             "b_ch=1.0, m_l=0.1)\n--\n\n"
             "All physical and numerical parameters for the RIDI + lipid simulation.",
      .methods = methods,
      .getset = getset,
      .repr = repr,
      .new_instance = ridi_params_new,
  }));
}

}  // namespace lodestra_py
