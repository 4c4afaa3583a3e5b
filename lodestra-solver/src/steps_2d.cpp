#include "lodestra_solver/steps_2d.hpp"

#include <utility>

#include "lodestra_core/panic.hpp"
#include "lodestra_core/simd.hpp"
#include "lodestra_fields/grid.hpp"
#include "lodestra_fields/stencils.hpp"
#include "lodestra_solver/beris_2d.hpp"

namespace lodestra_solver {

using lodestra_fields::Count;
using lodestra_fields::for_each_stencil_rows;
using lodestra_fields::laplacian5;
using lodestra_fields::Stencil;
using lodestra_fields::upwind;
using lodestra_fields::VelocityField2D;
using lodestra_fields::Xoshiro256pp;

namespace {

// The constants of one RK4 pass over an nx x ny grid.
struct Rk4Pass {
  Count nx;
  Count ny;
  double dx2;
  MolecularCoeffs coeffs;
  double gamma_r;
  double coef;  // c_s of X_{s+1} = Q + k_s c_s
  double dt6;
};

// Pass s of the fused RK4 step on planar components (one array per component):
// k = Gamma_r H(x) per vertex, then the next stage input n = Q + k c and the
// running sum s, or in the last pass Q <- Q + (sum + k) (dt/6). Reads the stage
// input x (neighbours included) and Q at the vertex itself; pass 1 reads Q as
// its x and pass 4 writes Q while x is a stage buffer, so no array is written
// while its neighbours are read. Compiled per instruction set (simd.hpp);
// flatten inlines the stencil loop and the formulas into every clone, so each
// clone vectorises the loop for its own vector width. A call does rows i0 <= i < i1,
// so the rows can be shared among threads (each writes only its own vertices).
template <int kStage, bool kUnit>
LODESTRA_SIMD_CLONES [[gnu::flatten]] void rk4_pass(const Rk4Pass& p, const double* __restrict x1,
                                                    const double* __restrict x2,
                                                    double* __restrict q1, double* __restrict q2,
                                                    double* __restrict n1, double* __restrict n2,
                                                    double* __restrict s1, double* __restrict s2,
                                                    Count i0, Count i1) {
  const MolecularCoeffs c = p.coeffs;
  const double gamma_r = p.gamma_r;
  const double coef = p.coef;
  const double dt6 = p.dt6;
  const double dx2 = kUnit ? 1.0 : p.dx2;  // x / 1 = x exactly: the division drops out
  for_each_stencil_rows(p.nx, p.ny, i0, i1, [&](const Stencil& s) {
    const Count k = s.k;
    const double a = x1[k];
    const double b = x2[k];
    const double q_sq = q_norm_sq(a, b);
    const double k1 = molecular_component(
                          laplacian5(a, x1[s.xp], x1[s.xm], x1[s.yp], x1[s.ym], dx2), a, q_sq, c) *
                      gamma_r;
    const double k2 = molecular_component(
                          laplacian5(b, x2[s.xp], x2[s.xm], x2[s.yp], x2[s.ym], dx2), b, q_sq, c) *
                      gamma_r;
    if constexpr (kStage == 1) {
      n1[k] = a + k1 * coef;
      n2[k] = b + k2 * coef;
      s1[k] = k1;
      s2[k] = k2;
    } else if constexpr (kStage < 4) {
      n1[k] = q1[k] + k1 * coef;
      n2[k] = q2[k] + k2 * coef;
      s1[k] = s1[k] + k1 * 2.0;
      s2[k] = s2[k] + k2 * 2.0;
    } else {
      q1[k] = q1[k] + (s1[k] + k1) * dt6;
      q2[k] = q2[k] + (s2[k] + k2) * dt6;
    }
  });
}

// One explicit Euler step with flow, Q + ((Gamma_r H + S) + (u.grad Q)(-1)) dt,
// as a single pass over the grid writing into `out` (on q's grid). Each term is
// the per-vertex value of molecular_field, corotation_strain and advect, so the
// result equals add(Q, scale(beris_edwards_rhs(Q, &v), dt)) bit for bit.
// kAlign adds the flow-alignment terms to S (S = corotation + alignment); kStoredH
// reads H from `h` (interleaved like Q) where the step has formed it already for the
// passive stress, instead of evaluating it again. Neither changes the base
// arithmetic when off. Compiled per instruction set like the RK4 passes, and, like
// them, over rows i0 <= i < i1.
template <bool kUnit, bool kAlign, bool kStoredH>
LODESTRA_SIMD_CLONES [[gnu::flatten]] void euler_flow_pass(const QField2D& q,
                                                           const VelocityField2D& v,
                                                           const RidiParams& params, double xi,
                                                           const double* __restrict h,
                                                           QField2D& out, Count i0, Count i1) {
  const MolecularCoeffs c = MolecularCoeffs::from(params);
  const double gamma_r = params.gamma_r;
  const double lambda = params.lambda_;
  const double dt = params.dt;
  const double dx2 = kUnit ? 1.0 : q.dx * q.dx;
  const double two_dx = kUnit ? 2.0 : 2.0 * q.dx;
  const double v_dx = kUnit ? 1.0 : v.dx;  // upwind differences use the velocity's spacing
  const double* __restrict f = q.data.data();
  const double* __restrict u = v.data.data();
  double* __restrict o = out.data.data();
  for_each_stencil_rows(q.nx, q.ny, i0, i1, [&](const Stencil& s) {
    const double q1 = f[2 * s.k];
    const double q2 = f[2 * s.k + 1];
    const double q_sq = q_norm_sq(q1, q2);
    const VelocityGradient g =
        central_gradient(u[2 * s.xp], u[2 * s.xm], u[2 * s.yp], u[2 * s.ym], u[2 * s.xp + 1],
                         u[2 * s.xm + 1], u[2 * s.yp + 1], u[2 * s.ym + 1], two_dx);
    CorotationPair strain = corotation_at(g, q1, q2, lambda);
    if constexpr (kAlign) {
      const CorotationPair align = flow_alignment_at(g, q1, q2, xi);
      strain.s1 = strain.s1 + align.s1;
      strain.s2 = strain.s2 + align.s2;
    }
    const double ux = u[2 * s.k];
    const double uy = u[2 * s.k + 1];
    const double sc[2] = {strain.s1, strain.s2};
    for (Count comp = 0; comp < 2; ++comp) {
      const Count i = 2 * s.k + comp;
      const double xp = f[2 * s.xp + comp];
      const double xm = f[2 * s.xm + comp];
      const double yp = f[2 * s.yp + comp];
      const double ym = f[2 * s.ym + comp];
      double r;
      if constexpr (kStoredH) {
        r = h[i] * gamma_r;
      } else {
        const double lap = laplacian5(f[i], xp, xm, yp, ym, dx2);
        r = molecular_component(lap, f[i], q_sq, c) * gamma_r;
      }
      const double adv = upwind(f[i], xp, xm, yp, ym, ux, uy, v_dx);
      const double rhs = (r + sc[comp]) + adv * -1.0;
      o[i] = f[i] + rhs * dt;
    }
  });
}

// With unit spacings the divisors are the constants 1, 2 and 1: the compiler
// drops x / 1 and turns x / 2 into the exact x * 0.5.
template <bool kAlign, bool kStoredH>
void euler_flow_spaced(const QField2D& q, const VelocityField2D& v, const RidiParams& params,
                       double xi, const double* h, QField2D& out) {
  const bool unit = q.dx == 1.0 && v.dx == 1.0;
  lodestra_fields::parallel_rows(q.nx, q.ny, 2, [&](Count i0, Count i1) {
    if (unit) {
      euler_flow_pass<true, kAlign, kStoredH>(q, v, params, xi, h, out, i0, i1);
    } else {
      euler_flow_pass<false, kAlign, kStoredH>(q, v, params, xi, h, out, i0, i1);
    }
  });
}

// A zero flow alignment takes the base pass, without the alignment terms.
void euler_flow_update(const QField2D& q, const VelocityField2D& v, const RidiParams& params,
                       double xi, const double* h, QField2D& out) {
  const bool align = xi != 0.0;
  if (h != nullptr) {
    if (align) {
      euler_flow_spaced<true, true>(q, v, params, xi, h, out);
    } else {
      euler_flow_spaced<false, true>(q, v, params, xi, h, out);
    }
  } else if (align) {
    euler_flow_spaced<true, false>(q, v, params, xi, h, out);
  } else {
    euler_flow_spaced<false, false>(q, v, params, xi, h, out);
  }
}

// The stress source of a step with backflow, one pass over the grid: H at every vertex
// (kept in `h` for the Euler pass) and the total stress, active plus passive,
//   (sxx, sxy) = zeta (q1, q2) + symmetric passive part,  A = antisymmetric passive part,
// into the Stokes solver's planes.
template <bool kUnit, bool kFull>
LODESTRA_SIMD_CLONES [[gnu::flatten]] void stress_pass(
    const QField2D& q, const RidiParams& params, double xi, double* __restrict h,
    double* __restrict sxx, double* __restrict sxy, double* __restrict anti, Count i0, Count i1) {
  const MolecularCoeffs c = MolecularCoeffs::from(params);
  const double zeta = params.zeta_eff;
  const double dx2 = kUnit ? 1.0 : q.dx * q.dx;
  const double* __restrict f = q.data.data();
  for_each_stencil_rows(q.nx, q.ny, i0, i1, [&](const Stencil& s) {
    const double q1 = f[2 * s.k];
    const double q2 = f[2 * s.k + 1];
    const double q_sq = q_norm_sq(q1, q2);
    const double l1 = laplacian5(q1, f[2 * s.xp], f[2 * s.xm], f[2 * s.yp], f[2 * s.ym], dx2);
    const double l2 =
        laplacian5(q2, f[2 * s.xp + 1], f[2 * s.xm + 1], f[2 * s.yp + 1], f[2 * s.ym + 1], dx2);
    const double h1 = molecular_component(l1, q1, q_sq, c);
    const double h2 = molecular_component(l2, q2, q_sq, c);
    h[2 * s.k] = h1;
    h[2 * s.k + 1] = h2;
    const PassiveStress p = passive_stress_at(q1, q2, h1, h2, xi, kFull);
    sxx[s.k] = zeta * q1 + p.sxx;
    sxy[s.k] = zeta * q2 + p.sxy;
    anti[s.k] = p.anti;
  });
}

}  // namespace

DryRk4::DryRk4(const QField2D& q, const RidiParams& params)
    : nx_(q.nx), ny_(q.ny), dx_(q.dx), params_(params) {
  for (Plane& plane : q_) plane = Plane(q.len());
  for (Plane& plane : a_) plane = Plane(q.len());
  for (Plane& plane : b_) plane = Plane(q.len());
  for (Plane& plane : sum_) plane = Plane(q.len());
  load(q);
}

void DryRk4::load(const QField2D& q) {
  for (Count k = 0; k < q.len(); ++k) {
    q_[0][k] = q.data[2 * k];
    q_[1][k] = q.data[2 * k + 1];
  }
}

void DryRk4::store(QField2D& q) const {
  for (Count k = 0; k < q.len(); ++k) {
    q.data[2 * k] = q_[0][k];
    q.data[2 * k + 1] = q_[1][k];
  }
}

// With unit spacing dx^2 = 1 is a constant and the division by it vanishes
// exactly (x / 1 = x); any other spacing keeps the division.
void DryRk4::step() {
  if (dx_ == 1.0) {
    stages<true>();
  } else {
    stages<false>();
  }
}

void DryRk4::add_noise(const Noise2D& noise, Xoshiro256pp& gen) {
  noise.apply(q_[0].size(), q_[0].data(), q_[1].data(), gen);
}

template <bool kUnit>
void DryRk4::stages() {
  Rk4Pass p{nx_,
            ny_,
            dx_ * dx_,
            MolecularCoeffs::from(params_),
            params_.gamma_r,
            params_.dt / 2.0,
            params_.dt / 6.0};
  double* s1 = sum_[0].data();
  double* s2 = sum_[1].data();
  double* const none = nullptr;
  // Each pass over all rows completes before the next one reads its output.
  auto pass = [&](auto run) { lodestra_fields::parallel_rows(nx_, ny_, 2, run); };
  pass([&](Count i0, Count i1) {
    rk4_pass<1, kUnit>(p, q_[0].data(), q_[1].data(), none, none, a_[0].data(), a_[1].data(), s1,
                       s2, i0, i1);
  });
  pass([&](Count i0, Count i1) {
    rk4_pass<2, kUnit>(p, a_[0].data(), a_[1].data(), q_[0].data(), q_[1].data(), b_[0].data(),
                       b_[1].data(), s1, s2, i0, i1);
  });
  p.coef = params_.dt;
  pass([&](Count i0, Count i1) {
    rk4_pass<3, kUnit>(p, b_[0].data(), b_[1].data(), q_[0].data(), q_[1].data(), a_[0].data(),
                       a_[1].data(), s1, s2, i0, i1);
  });
  pass([&](Count i0, Count i1) {
    rk4_pass<4, kUnit>(p, a_[0].data(), a_[1].data(), q_[0].data(), q_[1].data(), none, none, s1,
                       s2, i0, i1);
  });
}

FlowStepper::FlowStepper(const QField2D& q)
    : stokes_(q.nx, q.ny, q.dx), next_(QField2D::zeros(q.nx, q.ny, q.dx)) {}

// v = stokes(Q); Q <- Q + dt R(Q, v). The velocity stays available. With backflow the
// molecular field is formed first, for the passive stress of the flow and then for the
// update of Q.
void FlowStepper::step(QField2D& q, const RidiParams& params, const ModelOptions& options,
                       VelocityField2D& velocity) {
  const double xi = options.flow_alignment;
  if (options.backflow == Backflow::off) {
    stokes_.solve(q, params, options.friction, velocity);
    euler_flow_update(q, velocity, params, xi, nullptr, next_);
  } else {
    lodestra_core::assert_eq(q.data.size(), next_.data.size());
    h_.resize(q.data.size());
    const StokesWorkspace2D::StressPlanes planes = stokes_.stress_planes();
    const bool full = options.backflow == Backflow::full;
    double* h = h_.data();
    const bool unit = q.dx == 1.0;
    lodestra_fields::parallel_rows(q.nx, q.ny, 2, [&](Count i0, Count i1) {
      if (unit && full) {
        stress_pass<true, true>(q, params, xi, h, planes.sxx, planes.sxy, planes.anti, i0, i1);
      } else if (unit) {
        stress_pass<true, false>(q, params, xi, h, planes.sxx, planes.sxy, planes.anti, i0, i1);
      } else if (full) {
        stress_pass<false, true>(q, params, xi, h, planes.sxx, planes.sxy, planes.anti, i0, i1);
      } else {
        stress_pass<false, false>(q, params, xi, h, planes.sxx, planes.sxy, planes.anti, i0, i1);
      }
    });
    stokes_.solve_stress(q.dx, params.eta, options.friction, velocity);
    euler_flow_update(q, velocity, params, xi, h_.data(), next_);
  }
  std::swap(q.data, next_.data);
}

}  // namespace lodestra_solver
