#include "lodestra_core/params3d.hpp"

#include <cmath>
#include <string>
#include <utility>

#include "lodestra_core/format.hpp"

namespace lodestra_core {

RidiParams3D RidiParams3D::default_test() {
  return RidiParams3D{
      .nx = 16,
      .ny = 16,
      .nz = 16,
      .dx = 1.0,
      .dt = 0.01,
      .k_r = 1.0,
      .gamma_r = 1.0,
      .zeta_eff = 2.0,
      .eta = 1.0,
      .a_landau = -0.5,
      .c_landau = 4.5,
      .b_landau = 0.0,
      .lambda_ = 0.95,
      .noise_amp = 0.0,
      .chi_a = 0.0,
      .b0 = 1.0,
      .omega_b = 1.0,
      .k_l = 0.5,
      .gamma_l = 1.0,
      .xi_l = 5.0,
      .chi_ms = 0.5,
      .kappa_ch = 1.0,
      .a_ch = 1.0,
      .b_ch = 1.0,
      .m_l = 0.1,
      .kappa_w = 0.0,
      .kappa_bar_g = 0.0,
      .epsilon_ch = 1.0,
  };
}

double RidiParams3D::defect_length() const { return std::sqrt(k_r / zeta_eff); }
double RidiParams3D::ch_coherence_length() const { return std::sqrt(kappa_ch / a_ch); }
double RidiParams3D::phi_eq() const { return std::sqrt(a_ch / b_ch); }

namespace {

VResult<void> invalid(std::string text) {
  return std::unexpected(VError{InvalidParameter{std::move(text)}});
}

}  // namespace

VResult<void> RidiParams3D::validate() const {
  // Each check fails only when its ordered comparison holds, so NaN passes.
  struct Check {
    bool fails;
    const char* text;
  };
  const Check checks[] = {
      {nx < 2, "nx must be >= 2"},
      {ny < 2, "ny must be >= 2"},
      {nz < 2, "nz must be >= 2"},
      {dx <= 0.0, "dx must be positive"},
      {dt <= 0.0, "dt must be positive"},
      {k_r <= 0.0, "k_r must be positive"},
      {gamma_r <= 0.0, "gamma_r must be positive"},
      {zeta_eff < 0.0, "zeta_eff must be non-negative"},
      {eta <= 0.0, "eta must be positive"},
      {c_landau <= 0.0, "c_landau must be positive"},
      {noise_amp < 0.0, "noise_amp must be non-negative"},
      {chi_a < 0.0, "chi_a must be non-negative"},
      {b0 < 0.0, "b0 must be non-negative"},
      {k_l <= 0.0, "k_l must be positive"},
      {gamma_l <= 0.0, "gamma_l must be positive"},
      {xi_l <= 0.0, "xi_l must be positive"},
      {chi_ms < 0.0, "chi_ms must be non-negative"},
      {kappa_ch <= 0.0, "kappa_ch must be positive"},
      {a_ch <= 0.0, "a_ch must be positive"},
      {b_ch <= 0.0, "b_ch must be positive"},
      {m_l <= 0.0, "m_l must be positive"},
      {kappa_w < 0.0, "kappa_w must be non-negative"},
      {epsilon_ch <= 0.0, "epsilon_ch must be positive"},
  };
  for (const Check& check : checks) {
    if (check.fails) return invalid(check.text);
  }
  // ETD stability of the kappa_bar_G term: its k^6 growth limits the step to
  // dt_max = 0.1 eps^3 / (k^6 M_l |kappa_bar_G|) at the grid cut-off k = pi/dx.
  // The comparisons are ordered, so a NaN in eps or M_l skips the bound and a NaN
  // dt_max never fails.
  if (epsilon_ch > 0.0 && m_l > 0.0 && kappa_bar_g != 0.0) {
    const double k = 3.141592653589793 / dx;
    const double k2 = k * k;
    const double k6 = k2 * (k2 * k2);
    const double dt_max =
        (epsilon_ch * (epsilon_ch * epsilon_ch) * 0.1) / (k6 * (m_l * std::fabs(kappa_bar_g)));
    if (dt > dt_max) {
      return invalid("dt=" + fmt_sci(dt, 3) +
                     " exceeds \u03BA\u0304_G ETD stability bound dt_max=" + fmt_sci(dt_max, 3) +
                     "; reduce dt or reduce |\u03BA\u0304_G|");
    }
  }
  return {};
}

}  // namespace lodestra_core
