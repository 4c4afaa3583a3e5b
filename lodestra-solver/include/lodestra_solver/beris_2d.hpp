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

// Flow alignment, the strain terms of the standard Beris-Edwards co-rotation that S above
// leaves out (its lambda terms vanish in 2D for a divergence-free flow):
//   S += xi E - 2 xi Q (Q:E),
// E the traceless strain rate, E11 = (a - d)/2, E12 = e = (j + k)/2, and
// Q:E = 2 (q1 E11 + q2 E12) the full contraction of Q = [[q1, q2], [q2, -q1]] with E.
// This is xi (D (Q + I/2) + (Q + I/2) D) - 2 xi (Q + I/2)(Q:D) for a traceless D, since
// D Q + Q D = (Q:D) I in 2D. Per component:
//   S1 += xi E11 - q1 ((xi + xi) Q:E),  S2 += xi E12 - q2 ((xi + xi) Q:E).
inline CorotationPair flow_alignment_at(const VelocityGradient& g, double q1, double q2,
                                        double xi) {
  const double e11 = (g.a - g.d) * 0.5;
  const double e12 = (g.j + g.k) * 0.5;
  const double q_e = 2.0 * (q1 * e11 + q2 * e12);
  const double two_xi_qe = (xi + xi) * q_e;
  return CorotationPair{xi * e11 - q1 * two_xi_qe, xi * e12 - q2 * two_xi_qe};
}

// The passive (elastic) stress of the molecular field H = (h1, h2) at a vertex:
//   sigma_p = Q H - H Q                       (antisymmetric part)
//           + (-xi H + 2 xi Q (Q:H))          (symmetric part, `full` only)
// with Q:H = 2 (q1 h1 + q2 h2). Q H - H Q = [[0, A], [-A, 0]], A = 2 (q1 h2 - q2 h1);
// the symmetric part is traceless, (sxx, sxy) = (q1 (2 xi Q:H) - xi h1, q2 (2 xi Q:H) - xi h2).
// Each is the stress whose power cancels the free-energy change of its reversible term in S:
// A against the rotation by the vorticity, (sxx, sxy) against flow alignment.
struct PassiveStress {
  double sxx;
  double sxy;
  double anti;
};

inline PassiveStress passive_stress_at(double q1, double q2, double h1, double h2, double xi,
                                       bool full) {
  PassiveStress p{0.0, 0.0, 2.0 * (q1 * h2 - q2 * h1)};
  if (full) {
    const double two_xi_qh = (xi + xi) * (2.0 * (q1 * h1 + q2 * h2));
    p.sxx = q1 * two_xi_qh - xi * h1;
    p.sxy = q2 * two_xi_qh - xi * h2;
  }
  return p;
}

// H on Q's grid and spacing.
QField2D molecular_field(const QField2D& q, const RidiParams& params);
// S on Q's grid; the velocity must lie on the same grid (Panic otherwise). Its
// gradient is taken with Q's spacing.
QField2D corotation_strain(const QField2D& q, const VelocityField2D& v, const RidiParams& params);
// Gamma_r H without a velocity (v == nullptr); (Gamma_r H + S) - (u.grad) Q with one.
QField2D beris_edwards_rhs(const QField2D& q, const VelocityField2D* v, const RidiParams& params);

}  // namespace lodestra_solver
