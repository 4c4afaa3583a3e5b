#pragma once
// The parameter set of every 3D simulation. A plain value: operators read it and
// never change it; only validate() judges it.

#include <cstdint>

#include "lodestra_core/verror.hpp"

namespace lodestra_core {

struct RidiParams3D {
  std::uint64_t nx;
  std::uint64_t ny;
  std::uint64_t nz;
  double dx;
  double dt;
  double k_r;
  double gamma_r;
  double zeta_eff;
  double eta;
  double a_landau;
  double c_landau;
  double b_landau;  // carried and shown, never used by the 3D operators
  double lambda_;
  double noise_amp;
  double chi_a;
  double b0;
  double omega_b;
  double k_l;
  double gamma_l;
  double xi_l;
  double chi_ms;
  double kappa_ch;
  double a_ch;
  double b_ch;
  double m_l;
  // Set only by engine code; every set made from Python holds 0.0, 0.0 and 1.0.
  double kappa_w = 0.0;
  double kappa_bar_g = 0.0;
  double epsilon_ch = 1.0;

  // Test set: 16 x 16 x 16, active turbulent phase. Not validated (it passes).
  static RidiParams3D default_test();

  // a_eff = a - zeta_eff/2, the Landau coefficient shifted by the activity.
  double a_eff() const { return a_landau + zeta_eff * -0.5; }
  // Defect length l_d = sqrt(K_r / zeta_eff).
  double defect_length() const;
  // Existence number Pi = K_r / (K_l * (eta * Gamma_l)).
  double pi_number() const { return k_r / (k_l * (eta * gamma_l)); }
  // Cahn-Hilliard coherence length xi_CH = sqrt(kappa / a_CH).
  double ch_coherence_length() const;
  // Equilibrium lipid fraction phi_eq = sqrt(a_CH / b_CH).
  double phi_eq() const;

  // First failing check as InvalidParameter; NaN passes every check.
  VResult<void> validate() const;
};

}  // namespace lodestra_core
