#pragma once
// Right-hand side of the 3D Beris-Edwards equation and its explicit Euler step:
//   dQ/dt = gamma_r H(Q, t) + S(u, Q) - (u.grad) Q,
// with H the molecular field of mol_field_3d.hpp, S the co-rotation of Q in the
// flow and (u.grad) Q its advection; the flow terms enter only with a velocity.
//
// The per-vertex formulas live here and in mol_field_3d.hpp as inline
// evaluators. The field operators and the fused steps call the same ones, so a
// fused step equals the composition of the operators bit for bit.

#include <array>
#include <vector>

#include "lodestra_core/params3d.hpp"
#include "lodestra_fields/fields3d.hpp"
#include "lodestra_solver/mol_field_3d.hpp"

namespace lodestra_solver {

using lodestra_core::RidiParams3D;
using lodestra_fields::QField3D;
using lodestra_fields::VelocityField3D;

// Element [a][b] of a product of two 3x3 row-major matrices, (A B)_ab =
// (A_a0 B_0b + A_a1 B_1b) + A_a2 B_2b, summed left to right.
inline double product_entry(const std::array<double, 9>& x, const std::array<double, 9>& y, int a,
                            int b) {
  return (x[3 * a] * y[b] + x[3 * a + 1] * y[3 + b]) + x[3 * a + 2] * y[6 + b];
}

// The full symmetric matrix of a record (q11, q12, q13, q22, q23), q33 = -(q11 + q22).
inline std::array<double, 9> q_matrix(const double* q) {
  return {q[0], q[1], q[2], q[1], q[3], q[4], q[2], q[4], -(q[0] + q[3])};
}

// Row and column of the stored components q11, q12, q13, q22, q23.
inline constexpr int kRow[5] = {0, 0, 0, 1, 1};
inline constexpr int kCol[5] = {0, 1, 2, 1, 2};

// Co-rotation (flow alignment) of Q by the strain rate D and vorticity W of the flow,
//   S = lambda (D Q + Q D) + (Q W - W Q) - 2 lambda tr(Q D) Q,
// with tr(Q D) = ((Q D)_11 + (Q D)_22) + (Q D)_33, per stored component m = (a, b):
//   S_m = ((Q W)_m + (lambda ((D Q)_m + (Q D)_m) - q_m ((lambda + lambda) tr(Q D)))) - (W Q)_m.
// W[a][b] = (d_a u_b - d_b u_a)/2 is the transpose of the fluid's rotation tensor
// Omega[a][b] = (d_b u_a - d_a u_b)/2, so Q W - W Q = Omega Q - Q Omega: a rigidly
// rotating fluid turns the director with it, as the 2D model does.
// There are no isotropic parts: neither (2/3) lambda D nor I/3 inside the products,
// so S is traceless only where D is.
inline std::array<double, 5> co_rotation_at(const lodestra_fields::VelocityGradient& g,
                                            const double* q, double lambda) {
  const std::array<double, 9> m = q_matrix(q);
  const double tqd =
      (product_entry(m, g.d, 0, 0) + product_entry(m, g.d, 1, 1)) + product_entry(m, g.d, 2, 2);
  const double two_lambda_tqd = (lambda + lambda) * tqd;
  std::array<double, 5> s{};
  for (int c = 0; c < 5; ++c) {
    const int a = kRow[c];
    const int b = kCol[c];
    const double dq = product_entry(g.d, m, a, b);
    const double qd = product_entry(m, g.d, a, b);
    const double wq = product_entry(g.w, m, a, b);
    const double qw = product_entry(m, g.w, a, b);
    s[c] = (qw + (lambda * (dq + qd) - q[c] * two_lambda_tqd)) - wq;
  }
  return s;
}

// Flow alignment: the terms that complete the co-rotation above to the standard form
//   S = (xi D + Omega)(Q + I/3) + (Q + I/3)(xi D - Omega) - 2 xi (Q + I/3) tr(Q D),
// which adds to it, for xi = lambda,
//   (2 xi / 3) D - (2 xi / 3) tr(Q D) I,
// per stored component m = (a, b): (2 xi / 3) D_ab, minus (2 xi / 3) tr(Q D) where a = b,
// with 2 xi / 3 formed as (xi + xi) / 3 and tr(Q D) summed as in co_rotation_at. With it
// the whole S is traceless, so its implied 33 component is the standard one.
inline std::array<double, 5> alignment_completion_at(const lodestra_fields::VelocityGradient& g,
                                                     const double* q, double xi) {
  const std::array<double, 9> m = q_matrix(q);
  const double tqd =
      (product_entry(m, g.d, 0, 0) + product_entry(m, g.d, 1, 1)) + product_entry(m, g.d, 2, 2);
  const double c = (xi + xi) / 3.0;
  const double iso = c * tqd;
  std::array<double, 5> s{};
  for (int k = 0; k < 5; ++k) {
    const int a = kRow[k];
    const int b = kCol[k];
    s[k] = a == b ? c * g.d[3 * a + b] - iso : c * g.d[3 * a + b];
  }
  return s;
}

// The passive (elastic) stress of the molecular field H at a vertex, row-major 3x3:
//   sigma_p = Q H - H Q                                              (antisymmetric)
//           - lambda (Q H + H Q) + 2 lambda Q (Q:H) - (2 xi / 3) H    (symmetric, `full`)
// with Q:H = tr(Q H) the full contraction. Each part is the stress whose power cancels the
// free-energy change of its reversible term in S: Q H - H Q against the rotation, the
// lambda terms against co_rotation_at's strain terms, -(2 xi / 3) H against the completion.
// With xi = lambda it is the standard passive stress
//   -xi H (Q + I/3) - xi (Q + I/3) H + 2 xi (Q + I/3)(Q:H) + Q H - H Q
// less its isotropic part (2 xi / 3)(Q:H) I, which only shifts the pressure.
inline std::array<double, 9> passive_stress_3d_at(const double* q, const double* h, double lambda,
                                                  double xi, bool full) {
  const std::array<double, 9> m = q_matrix(q);
  const std::array<double, 9> hm = q_matrix(h);
  // P = Q H; H Q = P^T for symmetric Q and H, so Q H - H Q = P - P^T and
  // Q H + H Q = P + P^T: three independent antisymmetric and six symmetric entries.
  std::array<double, 9> pq{};
  for (int a = 0; a < 3; ++a) {
    for (int b = 0; b < 3; ++b) pq[3 * a + b] = product_entry(m, hm, a, b);
  }
  const double a01 = pq[1] - pq[3];
  const double a02 = pq[2] - pq[6];
  const double a12 = pq[5] - pq[7];
  std::array<double, 9> s = {0.0, a01, a02, -a01, 0.0, a12, -a02, -a12, 0.0};
  if (full) {
    const double two_lambda_qh = (lambda + lambda) * ((pq[0] + pq[4]) + pq[8]);
    const double c = (xi + xi) / 3.0;
    // The symmetric part (m two_lambda_qh - lambda (P + P^T)) - c H, entry by entry.
    auto sym = [&](int a, int b) {
      const int e = 3 * a + b;
      return (m[e] * two_lambda_qh - lambda * (pq[e] + pq[3 * b + a])) - c * hm[e];
    };
    const double s00 = sym(0, 0), s01 = sym(0, 1), s02 = sym(0, 2);
    const double s11 = sym(1, 1), s12 = sym(1, 2), s22 = sym(2, 2);
    s = {s00, s01 + a01, s02 + a02, s01 - a01, s11, s12 + a12, s02 - a02, s12 - a12, s22};
  }
  return s;
}

// Central difference of one component along one axis, e = 1 / (dx + dx):
//   g = e (f(+1) - f(-1)).
inline double central_difference(double fp, double fm, double e) { return e * (fp - fm); }

// The advection term -(u.grad) q_m of one component from its three central
// differences: (gx (-ux) - uy gy) - uz gz.
inline double advection_term(double gx, double gy, double gz, double ux, double uy, double uz) {
  return (gx * -ux - uy * gy) - uz * gz;
}

// One component of the right-hand side with flow: R_m = gamma_r H_m + (S_m + A_m),
// A_m the advection term.
inline double flow_rhs_component(double gamma_r_h, double s_m, double adv_m) {
  return gamma_r_h + (s_m + adv_m);
}

// One explicit Euler update of a component: q_m + dt R_m, written dt R_m + q_m.
inline double euler_component(double q_m, double r_m, double dt) { return dt * r_m + q_m; }

// S on Q's grid and spacing; the gradient of u is taken with u's spacing. u must
// have Q's sizes (Panic otherwise).
QField3D co_rotation_3d(const VelocityField3D& u, const QField3D& q, double lambda);

// gamma_r H without a velocity (u == nullptr); gamma_r H + (S - (u.grad) Q) with one,
// the advection differenced with Q's spacing.
QField3D beris_edwards_rhs_3d(const QField3D& q, const VelocityField3D* u, const RidiParams3D& p,
                              double t);

// Explicit Euler on dQ/dt = R: Q + dt R per component. Holds no state.
struct EulerIntegrator3D {
  QField3D step(const QField3D& q, const QField3D& rhs, double dt) const;
};

// The passive stress of every vertex of Q at time t (lambda = p.lambda_, xi the flow
// alignment) into `sigma` as nine planes of nx ny nz values, sigma_ab in plane 3a + b;
// `full` adds the symmetric part.
// The molecular field is written into `h` (sized to Q; not Q itself) on the way.
void passive_stress_3d(const QField3D& q, const RidiParams3D& p, double t, double xi, bool full,
                       QField3D& h, std::vector<double>& sigma);

// The Euler step of the dry equation as one pass over the grid, writing into
// `out`, which must already have Q's sizes and must not be Q. Equals
// EulerIntegrator3D{}.step(q, beris_edwards_rhs_3d(q, nullptr, p, t), dt) bit for bit,
// without allocating.
void dry_euler_step_3d(const QField3D& q, const RidiParams3D& p, double t, double dt,
                       QField3D& out);

// The same with the flow u (on Q's grid): equals
// EulerIntegrator3D{}.step(q, beris_edwards_rhs_3d(q, &u, p, t), dt) bit for bit.
// A non-zero flow_alignment xi adds alignment_completion_at to S. With h (the molecular
// field of Q at t, as passive_stress_3d leaves it) H is read instead of evaluated again.
void flow_euler_step_3d(const QField3D& q, const VelocityField3D& u, const RidiParams3D& p,
                        double t, double dt, QField3D& out, double flow_alignment = 0.0,
                        const QField3D* h = nullptr);

}  // namespace lodestra_solver
