#pragma once
// Right-hand side of the 2D Beris-Edwards equation
//   dQ/dt = Gamma_r H + S(Q, grad u) - (u.grad) Q.
//
// The per-vertex formulas live here as small inline evaluators; the field
// operators below and the drivers' fused time steps both call them, so a fused
// step and the composition of the field operators agree bit for bit.

#include "lodestra_core/params.hpp"
#include "lodestra_fields/fields2d.hpp"

namespace lodestra_solver {

using lodestra_core::RidiParams;
using lodestra_fields::QField2D;
using lodestra_fields::VelocityField2D;

// Coefficients of the Landau-de Gennes molecular field, formed once per call:
// A2 = 2 (a_landau + zeta_eff (-0.5)) = 2 a_eff, C4 = 4 c_landau.
struct MolecularCoeffs {
  double k_r;
  double a2;
  double c4;

  static MolecularCoeffs from(const RidiParams& params) {
    return MolecularCoeffs{params.k_r, 2.0 * (params.a_landau + params.zeta_eff * -0.5),
                           4.0 * params.c_landau};
  }
};

// |q|^2 = q1^2 + q2^2 of one vertex.
inline double q_norm_sq(double q1, double q2) { return q1 * q1 + q2 * q2; }

// One component of H = K_r lap Q - 2 a_eff Q - 4 c |q|^2 Q:
//   H_k = (k_r L_k - A2 q_k) - q_k (C4 |q|^2), evaluated in that order.
inline double molecular_component(double lap_k, double q_k, double q_sq, const MolecularCoeffs& c) {
  return (c.k_r * lap_k - c.a2 * q_k) - q_k * (c.c4 * q_sq);
}

// Central-difference velocity gradient at a vertex, divisor 2 dx formed by the
// caller: a = d_x ux, j = d_y ux, k = d_x uy, d = d_y uy.
struct VelocityGradient {
  double a;
  double j;
  double k;
  double d;
};

inline VelocityGradient central_gradient(double ux_xp, double ux_xm, double ux_yp, double ux_ym,
                                         double uy_xp, double uy_xm, double uy_yp, double uy_ym,
                                         double two_dx) {
  return VelocityGradient{(ux_xp - ux_xm) / two_dx, (ux_yp - ux_ym) / two_dx,
                          (uy_xp - uy_xm) / two_dx, (uy_yp - uy_ym) / two_dx};
}

// Co-rotation and strain of Q in the flow, with e = (j + k)/2 the shear rate and
// w = (k - j)/2 the vorticity:
//   S1 = lambda (2 (a q1 + e q2) - (2e q2 + q1 (a - d))) - 2w q2
//   S2 = 2w q1 + lambda (q2 (a + d))
// The lambda terms are the traceless part of E Q + Q E for E = [[a, e], [e, d]];
// they vanish for a divergence-free flow up to rounding, leaving the rotation.
struct CorotationPair {
  double s1;
  double s2;
};

inline CorotationPair corotation_at(const VelocityGradient& g, double q1, double q2,
                                    double lambda) {
  const double e = (g.j + g.k) * 0.5;
  const double w = (g.k - g.j) * 0.5;
  const double s1 =
      lambda * (2.0 * (g.a * q1 + e * q2) - ((2.0 * e) * q2 + q1 * (g.a - g.d))) - (2.0 * w) * q2;
  const double s2 = (2.0 * w) * q1 + lambda * (q2 * (g.a + g.d));
  return CorotationPair{s1, s2};
}

// H on Q's grid and spacing.
QField2D molecular_field(const QField2D& q, const RidiParams& params);
// S on Q's grid; the velocity must lie on the same grid (Panic otherwise). Its
// gradient is taken with Q's spacing.
QField2D corotation_strain(const QField2D& q, const VelocityField2D& v, const RidiParams& params);
// Gamma_r H without a velocity (v == nullptr); (Gamma_r H + S) - (u.grad) Q with one.
QField2D beris_edwards_rhs(const QField2D& q, const VelocityField2D* v, const RidiParams& params);

}  // namespace lodestra_solver
