#include "lodestra_core/params.hpp"

#include <cmath>

namespace lodestra_core {

RidiParams RidiParams::default_test() {
  return RidiParams{
      .nx = 64,
      .ny = 64,
      .dx = 1.0,
      .dt = 0.01,
      .k_r = 1.0,
      .gamma_r = 1.0,
      .zeta_eff = 2.0,
      .eta = 1.0,
      .a_landau = -0.5,
      .c_landau = 4.5,
      .lambda_ = 0.7,
      .noise_amp = 0.0,
      .k_l = 0.5,
      .gamma_l = 1.0,
      .xi_l = 5.0,
      .chi_ms = 0.5,
      .kappa_ch = 1.0,
      .a_ch = 1.0,
      .b_ch = 1.0,
      .m_l = 0.1,
  };
}

double RidiParams::defect_length() const { return std::sqrt(k_r / zeta_eff); }
double RidiParams::ch_coherence_length() const { return std::sqrt(kappa_ch / a_ch); }
double RidiParams::phi_eq() const { return std::sqrt(a_ch / b_ch); }

VResult<void> RidiParams::validate() const {
  // Each check fails only when its ordered comparison holds, so NaN passes.
  struct Check {
    bool fails;
    const char* text;
  };
  const Check checks[] = {
      {nx <= 1, "nx must be >= 2"},
      {ny <= 1, "ny must be >= 2"},
      {dx <= 0.0, "dx must be positive"},
      {dt <= 0.0, "dt must be positive"},
      {k_r <= 0.0, "k_r must be positive"},
      {gamma_r <= 0.0, "gamma_r must be positive"},
      {zeta_eff < 0.0, "zeta_eff must be non-negative"},
      {eta <= 0.0, "eta must be positive"},
      {c_landau <= 0.0, "c_landau must be positive"},
      {xi_l <= 0.0, "xi_l must be positive"},
      {noise_amp < 0.0, "noise_amp must be non-negative"},
      {chi_ms < 0.0, "chi_ms must be non-negative"},
      {kappa_ch <= 0.0, "kappa_ch must be positive"},
      {a_ch <= 0.0, "a_ch must be positive"},
      {b_ch <= 0.0, "b_ch must be positive"},
      {m_l <= 0.0, "m_l must be positive"},
  };
  for (const Check& check : checks) {
    if (check.fails) return std::unexpected(VError{InvalidParameter{check.text}});
  }
  return {};
}

}  // namespace lodestra_core
