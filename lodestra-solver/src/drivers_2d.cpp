#include "lodestra_solver/drivers_2d.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <optional>
#include <utility>

#include "lodestra_core/panic.hpp"
#include "lodestra_core/simd.hpp"
#include "lodestra_fields/grid.hpp"
#include "lodestra_fields/random.hpp"
#include "lodestra_fields/stencils.hpp"
#include "lodestra_solver/beris_2d.hpp"
#include "lodestra_solver/ch_2d.hpp"
#include "lodestra_solver/defects_2d.hpp"
#include "lodestra_solver/stokes_2d.hpp"

namespace lodestra_solver {

using lodestra_fields::Count;
using lodestra_fields::for_each_stencil_rows;
using lodestra_fields::laplacian5;
using lodestra_fields::Stencil;
using lodestra_fields::upwind;
using lodestra_fields::VelocityField2D;
using lodestra_fields::Xoshiro256pp;

namespace {

constexpr double kTwoPi = 6.283185307179586;
// Smallest normal double: keeps ln(u1) finite when the generator returns 0.
constexpr double kSmallestNormal = 2.2250738585072014e-308;

// The noise stream of a run depends on the parameter set's grid and on the
// number of steps: (nx A) xor (ny C) xor n_steps, all modulo 2^64, with the
// MMIX multiplier and increment as mixing constants.
std::uint64_t noise_seed(const RidiParams& params, std::uint64_t n_steps) {
  return (params.nx * 0x5851F42D4C957F2DULL) ^ (params.ny * 0x14057B7EF767814FULL) ^ n_steps;
}

// Box-Muller: two uniforms per vertex, in index order, give the pair
// r (cos theta, sin theta) with r = sigma sqrt(-2 ln u1) and theta = 2 pi u2,
// two independent normal deviates of standard deviation sigma, added to the
// components c1[k * stride] and c2[k * stride] of vertex k.
void add_noise(Count n, double* c1, double* c2, Count stride, Xoshiro256pp& gen, double sigma) {
  for (Count k = 0; k < n; ++k) {
    const double u1 = gen.uniform01();
    const double u2 = gen.uniform01();
    const double r = sigma * std::sqrt(std::log(std::max(u1, kSmallestNormal)) * -2.0);
    const double theta = u2 * kTwoPi;
    c1[k * stride] += r * std::cos(theta);
    c2[k * stride] += r * std::sin(theta);
  }
}

// Noise of one run: a single generator stream, used only when noise_amp > 0
// (a NaN or negative amplitude adds nothing).
struct Noise {
  bool enabled;
  double sigma;
  Xoshiro256pp gen;

  Noise(const RidiParams& params, std::uint64_t n_steps)
      : enabled(params.noise_amp > 0.0),
        sigma(params.noise_amp * std::sqrt(params.dt)),
        gen(Xoshiro256pp::seeded(noise_seed(params, n_steps))) {}

  void apply(QField2D& q) {
    if (enabled) add_noise(q.len(), q.data.data(), q.data.data() + 1, 2, gen, sigma);
  }
  void apply(Count n, double* q1, double* q2) {
    if (enabled) add_noise(n, q1, q2, 1, gen, sigma);
  }
};

// Domain area of the defect density, from the parameter set's grid.
double domain_area(const RidiParams& params) {
  return (params.dx * static_cast<double>(params.nx)) *
         (params.dx * static_cast<double>(params.ny));
}

SnapStats snapshot(const QField2D& q, const RidiParams& params, double area, std::uint64_t step) {
  const std::vector<DefectInfo> defects = scan_defects(q, kDefectThreshold);
  SnapStats rec{};
  rec.n_defects = defects.size();
  for (const DefectInfo& d : defects) {
    if (d.charge_sign > 0) ++rec.n_plus;
    if (d.charge_sign < 0) ++rec.n_minus;
  }
  rec.mean_s = q.mean_order_param();
  rec.time = params.dt * static_cast<double>(step);
  rec.defect_density = static_cast<double>(rec.n_defects) / area;
  return rec;
}

// The loop shared by the drivers: a record at every multiple of snap_every from
// step 0 to n_steps inclusive, a step between consecutive step numbers.
template <class Record, class Advance>
void run_loop(std::uint64_t n_steps, std::uint64_t snap_every, Record&& record, Advance&& advance) {
  for (std::uint64_t step = 0;; ++step) {
    if (step % snap_every == 0) record(step);
    if (step == n_steps) break;
    advance();
  }
}

void require_snap_every(std::uint64_t snap_every) {
  if (snap_every == 0)
    lodestra_core::panic("attempt to calculate the remainder with a divisor of zero");
}

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

// Classical RK4 on dQ/dt = F(Q) = Gamma_r H(Q), fused into four passes over the
// grid. Pass s evaluates k_s = F(X_s) per vertex and in the same sweep forms the
// next stage input X_{s+1} = Q + k_s c_s and the running sum
// ((k1 + k2 2) + k3 2); the last pass writes Q + (sum + k4) (dt/6) in place.
// Every value is the one the field-operator composition gives,
// add(X, scale(k, c)), bit for bit: the same per-vertex formulas in the same
// order. The run keeps Q and the stage buffers as planes, one array per
// component, allocated once: contiguous component runs vectorise without
// shuffling the interleaved (q1, q2) records. Q returns to a QField2D only at
// records and at the end.
class DryRk4 {
 public:
  DryRk4(const QField2D& q, const RidiParams& params)
      : nx_(q.nx),
        ny_(q.ny),
        dx_(q.dx),
        coeffs_(MolecularCoeffs::from(params)),
        gamma_r_(params.gamma_r),
        dt_(params.dt),
        half_dt_(params.dt / 2.0),
        dt6_(params.dt / 6.0) {
    for (Plane& plane : q_) plane = Plane(q.len());
    for (Plane& plane : a_) plane = Plane(q.len());
    for (Plane& plane : b_) plane = Plane(q.len());
    for (Plane& plane : sum_) plane = Plane(q.len());
    load(q);
  }

  void load(const QField2D& q) {
    for (Count k = 0; k < q.len(); ++k) {
      q_[0][k] = q.data[2 * k];
      q_[1][k] = q.data[2 * k + 1];
    }
  }

  void store(QField2D& q) const {
    for (Count k = 0; k < q.len(); ++k) {
      q.data[2 * k] = q_[0][k];
      q.data[2 * k + 1] = q_[1][k];
    }
  }

  void step() {
    // With unit spacing dx^2 = 1 is a constant and the division by it vanishes
    // exactly (x / 1 = x); any other spacing keeps the division.
    if (dx_ == 1.0) {
      stages<true>();
    } else {
      stages<false>();
    }
  }

  void add_noise(Noise& noise) { noise.apply(q_[0].size(), q_[0].data(), q_[1].data()); }

 private:
  using Plane = std::vector<double>;
  using Planes = std::array<Plane, 2>;

  template <bool kUnit>
  void stages() {
    Rk4Pass p{nx_, ny_, dx_ * dx_, coeffs_, gamma_r_, half_dt_, dt6_};
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
    p.coef = dt_;
    pass([&](Count i0, Count i1) {
      rk4_pass<3, kUnit>(p, b_[0].data(), b_[1].data(), q_[0].data(), q_[1].data(), a_[0].data(),
                         a_[1].data(), s1, s2, i0, i1);
    });
    pass([&](Count i0, Count i1) {
      rk4_pass<4, kUnit>(p, a_[0].data(), a_[1].data(), q_[0].data(), q_[1].data(), none, none, s1,
                         s2, i0, i1);
    });
  }

  Count nx_;
  Count ny_;
  double dx_;
  MolecularCoeffs coeffs_;
  double gamma_r_;
  double dt_;
  double half_dt_;
  double dt6_;
  Planes q_;
  Planes a_;
  Planes b_;
  Planes sum_;
};

// One explicit Euler step with flow, Q + ((Gamma_r H + S) + (u.grad Q)(-1)) dt,
// as a single pass over the grid writing into `out` (on q's grid). Each term is
// the per-vertex value of molecular_field, corotation_strain and advect, so the
// result equals add(Q, scale(beris_edwards_rhs(Q, &v), dt)) bit for bit.
// Compiled per instruction set like the RK4 passes, and, like them, over rows
// i0 <= i < i1.
template <bool kUnit>
LODESTRA_SIMD_CLONES [[gnu::flatten]] void euler_flow_pass(const QField2D& q,
                                                           const VelocityField2D& v,
                                                           const RidiParams& params, QField2D& out,
                                                           Count i0, Count i1) {
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
    const CorotationPair strain = corotation_at(g, q1, q2, lambda);
    const double ux = u[2 * s.k];
    const double uy = u[2 * s.k + 1];
    const double sc[2] = {strain.s1, strain.s2};
    for (Count comp = 0; comp < 2; ++comp) {
      const Count i = 2 * s.k + comp;
      const double xp = f[2 * s.xp + comp];
      const double xm = f[2 * s.xm + comp];
      const double yp = f[2 * s.yp + comp];
      const double ym = f[2 * s.ym + comp];
      const double lap = laplacian5(f[i], xp, xm, yp, ym, dx2);
      const double r = molecular_component(lap, f[i], q_sq, c) * gamma_r;
      const double adv = upwind(f[i], xp, xm, yp, ym, ux, uy, v_dx);
      const double rhs = (r + sc[comp]) + adv * -1.0;
      o[i] = f[i] + rhs * dt;
    }
  });
}

// With unit spacings the divisors are the constants 1, 2 and 1: the compiler
// drops x / 1 and turns x / 2 into the exact x * 0.5.
void euler_flow_update(const QField2D& q, const VelocityField2D& v, const RidiParams& params,
                       QField2D& out) {
  const bool unit = q.dx == 1.0 && v.dx == 1.0;
  lodestra_fields::parallel_rows(q.nx, q.ny, 2, [&](Count i0, Count i1) {
    if (unit) {
      euler_flow_pass<true>(q, v, params, out, i0, i1);
    } else {
      euler_flow_pass<false>(q, v, params, out, i0, i1);
    }
  });
}

// The hydrodynamic state of a run: the Stokes workspace of Q's grid and the
// buffers of the velocity and the next Q, built once.
struct FlowStepper {
  StokesWorkspace2D stokes;
  VelocityField2D velocity;
  QField2D next;

  explicit FlowStepper(const QField2D& q)
      : stokes(q.nx, q.ny, q.dx),
        velocity(VelocityField2D::zeros(q.nx, q.ny, q.dx)),
        next(QField2D::zeros(q.nx, q.ny, q.dx)) {}

  // v = stokes(Q); Q <- Q + dt R(Q, v). The velocity stays available.
  void step(QField2D& q, const RidiParams& params) {
    stokes.solve(q, params, velocity);
    euler_flow_update(q, velocity, params, next);
    std::swap(q.data, next.data);
  }
};

}  // namespace

std::pair<QField2D, std::vector<SnapStats>> run_ridi_component1(const QField2D& q_init,
                                                                const RidiParams& params,
                                                                std::uint64_t n_steps,
                                                                std::uint64_t snap_every) {
  require_snap_every(snap_every);
  QField2D q = q_init;
  Noise noise(params, n_steps);
  const double area = domain_area(params);
  std::vector<SnapStats> records;
  std::optional<DryRk4> rk4;
  if (n_steps > 0) rk4.emplace(q, params);
  run_loop(
      n_steps, snap_every,
      [&](std::uint64_t step) {
        if (rk4) rk4->store(q);
        records.push_back(snapshot(q, params, area, step));
      },
      [&] {
        rk4->step();
        rk4->add_noise(noise);
      });
  if (rk4) rk4->store(q);
  return {std::move(q), std::move(records)};
}

std::pair<QField2D, std::vector<SnapStats>> run_ridi_component1_hydro(const QField2D& q_init,
                                                                      const RidiParams& params,
                                                                      std::uint64_t n_steps,
                                                                      std::uint64_t snap_every) {
  require_snap_every(snap_every);
  QField2D q = q_init;
  Noise noise(params, n_steps);
  const double area = domain_area(params);
  std::vector<SnapStats> records;
  std::optional<FlowStepper> flow;
  if (n_steps > 0) flow.emplace(q);
  run_loop(
      n_steps, snap_every,
      [&](std::uint64_t step) { records.push_back(snapshot(q, params, area, step)); },
      [&] {
        flow->step(q, params);
        noise.apply(q);
      });
  return {std::move(q), std::move(records)};
}

std::tuple<QField2D, ScalarField2D, std::vector<BechStats>> run_ridi_bech(
    const QField2D& q_init, const ScalarField2D& phi_init, const RidiParams& params,
    std::uint64_t n_steps, std::uint64_t snap_every) {
  require_snap_every(snap_every);
  QField2D q = q_init;
  ScalarField2D phi = phi_init;
  Noise noise(params, n_steps);
  const double area = domain_area(params);
  std::vector<BechStats> records;

  // The Cahn-Hilliard workspace lives on phi's grid; a Q on another grid is
  // refused by the step's own checks at the first step.
  std::optional<FlowStepper> flow;
  std::optional<ChWorkspace2D> ch;
  ScalarField2D phi_next;
  if (n_steps > 0) {
    flow.emplace(q);
    ch.emplace(phi.nx, phi.ny, phi.dx);
    phi_next = ScalarField2D::zeros(phi.nx, phi.ny, phi.dx);
  }

  auto record = [&](std::uint64_t step) {
    const SnapStats s = snapshot(q, params, area, step);
    BechStats rec{};
    rec.time = s.time;
    rec.mean_s = s.mean_s;
    rec.n_defects = s.n_defects;
    rec.n_plus = s.n_plus;
    rec.n_minus = s.n_minus;
    rec.defect_density = s.defect_density;
    rec.mean_phi = phi.mean_value();
    rec.phi_variance = phi.variance();
    rec.mean_grad_phi_sq = phi.mean_gradient_sq();
    records.push_back(rec);
  };
  // Q advances first with the flow of the old Q; phi follows with the lipid
  // order of the new Q and that same flow.
  auto advance = [&] {
    flow->step(q, params);
    noise.apply(q);
    const QField2D q_lip = k0_convolution(q, params);
    ch->step(phi, q_lip, flow->velocity, params, phi_next);
    std::swap(phi.data, phi_next.data);
  };
  run_loop(n_steps, snap_every, record, advance);
  return {std::move(q), std::move(phi), std::move(records)};
}

}  // namespace lodestra_solver
