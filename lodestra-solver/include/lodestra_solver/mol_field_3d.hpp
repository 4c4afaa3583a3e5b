#pragma once
// Molecular field of the 3D Landau-de Gennes free energy with one-constant
// elasticity, the activity as a shift of the quadratic coefficient and a field
// rotating in the xy plane:
//   H = k_r lap Q - a_eff Q - 2 c tr(Q^2) Q + chi_a b0^2 (bb - I/3),
//   a_eff = a - zeta_eff/2, b = (cos(omega_b t), sin(omega_b t), 0).
// There is no cubic term: b_landau does not enter.
//
// The per-vertex formula lives here as inline evaluators; molecular_field_3d and
// the fused Euler steps of beris_3d.hpp both call them, so a fused step and the
// composition of the field operators agree bit for bit.

#include <array>
#include <cmath>

#include "lodestra_core/params3d.hpp"
#include "lodestra_fields/fields3d.hpp"

namespace lodestra_solver {

// -1/3 as the nearest double, written out so that every reader sees the value used.
inline constexpr double kMinusThird = -0.3333333333333333;

// What H needs that does not depend on the vertex, formed once per call at time t:
//   a_eff = a_landau + zeta_eff (-0.5), two_c = c_landau + c_landau,
//   f = b0 (chi_a b0), (s, c) = (sin, cos)(t omega_b),
//   h11 = f (c c + (-1/3)), h12 = s (c f), h22 = f (s s + (-1/3)), h13 = h23 = 0,
// the stored components of chi_a b0^2 (bb - I/3).
struct MolecularConstants3D {
  double k_r;
  double a_eff;
  double two_c;
  std::array<double, 5> field;  // h11, h12, h13, h22, h23

  static MolecularConstants3D from(const lodestra_core::RidiParams3D& p, double t) {
    double s = 0.0;
    double c = 0.0;
    ::sincos(t * p.omega_b, &s, &c);
    const double f = p.b0 * (p.chi_a * p.b0);
    const double h11 = f * (c * c + kMinusThird);
    const double h12 = s * (c * f);
    const double h22 = f * (s * s + kMinusThird);
    return MolecularConstants3D{
        p.k_r, p.a_landau + p.zeta_eff * -0.5, p.c_landau + p.c_landau, {h11, h12, 0.0, h22, 0.0}};
  }
};

// tr(Q^2) of the record (q11, q12, q13, q22, q23) with q33 = -(q11 + q22):
//   (q11^2 + q22^2 + (q11 + q22)^2) + 2 ((q12^2 + q13^2) + q23^2),
// the off-diagonal entries counted twice.
inline double q_trace_sq(const double* q) {
  const double q11 = q[0];
  const double q22 = q[3];
  const double q33 = q11 + q22;  // its sign does not matter once squared
  return ((q11 * q11 + q22 * q22) + q33 * q33) + 2.0 * ((q[1] * q[1] + q[2] * q[2]) + q[4] * q[4]);
}

// One stored component of H at a vertex, with g = two_c tr(Q^2):
//   H_m = h_m + ((k_r L_m - a_eff q_m) - q_m g), evaluated in that order.
inline double molecular_component_3d(const MolecularConstants3D& c, double h_m, double lap_m,
                                     double q_m, double g) {
  return h_m + ((c.k_r * lap_m - c.a_eff * q_m) - q_m * g);
}

// H on Q's grid and spacing at time t.
lodestra_fields::QField3D molecular_field_3d(const lodestra_fields::QField3D& q,
                                             const lodestra_core::RidiParams3D& p, double t);

}  // namespace lodestra_solver
