#include "lodestra_solver/ch_2d.hpp"

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <memory>
#include <vector>

#include "lodestra_core/format.hpp"
#include "lodestra_core/panic.hpp"
#include "lodestra_core/simd.hpp"
#include "lodestra_fields/grid.hpp"
#include "lodestra_fields/stencils.hpp"
#include "lodestra_solver/fft.hpp"
#include "lodestra_solver/recent_workspaces.hpp"
#include "lodestra_solver/spectral2d.hpp"

namespace lodestra_solver {

namespace {

using fft::Complex;
using lodestra_core::fmt_int;

// The operands must lie on phi's grid. A q_lip too short for phi's grid would be read past
// its end: that is an index error. v is checked like advect_scalar checks it.
void check_operands(const ScalarField2D& phi, const QField2D& q_lip, const VelocityField2D& v) {
  const Count n = lodestra_fields::vertex_count(phi.nx, phi.ny);
  if (phi.data.size() != n) {
    lodestra_core::panic("ScalarField2D holds " + fmt_int(phi.data.size()) +
                         " values, its grid needs " + fmt_int(n));
  }
  if (q_lip.data.size() / 2 < n) {
    lodestra_core::panic("index out of bounds: q_lip holds " + fmt_int(q_lip.data.size() / 2) +
                         " vertices but phi's grid has " + fmt_int(n));
  }
  lodestra_core::assert_eq(v.nx, phi.nx);
  lodestra_core::assert_eq(v.ny, phi.ny);
  if (v.data.size() != 2 * n) {
    lodestra_core::panic("VelocityField2D holds " + fmt_int(v.data.size()) +
                         " values, its grid needs " + fmt_int(2 * n));
  }
  lodestra_core::assert_eq(q_lip.nx, phi.nx);
  lodestra_core::assert_eq(q_lip.ny, phi.ny);
}

std::uint64_t bits(double x) { return std::bit_cast<std::uint64_t>(x); }

// phi^ <- phi^ E + N^ phi_1, real and imaginary parts alike (complex values as pairs).
LODESTRA_SIMD_CLONES
void etd_update(double* __restrict phi_hat, const double* __restrict n_hat,
                const double* __restrict decay, const double* __restrict weight, Count modes) {
  for (Count k = 0; k < modes; ++k) {
    phi_hat[2 * k] = phi_hat[2 * k] * decay[k] + n_hat[2 * k] * weight[k];
    phi_hat[2 * k + 1] = phi_hat[2 * k + 1] * decay[k] + n_hat[2 * k + 1] * weight[k];
  }
}

// out = x / divisor, the normalisation of the inverse transform.
LODESTRA_SIMD_CLONES
void divide(const double* __restrict x, double* __restrict out, Count n, double divisor) {
  for (Count k = 0; k < n; ++k) out[k] = x[k] / divisor;
}

}  // namespace

struct ChWorkspace2D::State {
  Spectral2D spectral;
  std::vector<double> mu;         // mu_nl per vertex
  fft::RealBuffer phi_real;       // phi before the step, phi after it
  fft::RealBuffer explicit_term;  // N = m_l lap(mu_nl) - v.grad(phi)
  fft::ComplexBuffer phi_hat;
  fft::ComplexBuffer n_hat;

  // ETD1 factors E and phi_1 per stored mode, and the modes left unchanged (k^2 < 1e-14),
  // valid for the parameters in `key`. They depend on k^2 only, so a run recomputes them
  // only when dt, m_l, a_ch, kappa_ch or dx change.
  std::vector<double> decay;
  std::vector<double> weight;
  std::vector<Count> kept;
  std::vector<Complex> kept_values;
  std::array<std::uint64_t, 5> key{};
  bool factors_valid = false;

  State(Count nx, Count ny, double dx)
      : spectral(nx, ny, dx),
        mu(spectral.points()),
        phi_real(spectral.points()),
        explicit_term(spectral.points()),
        phi_hat(spectral.modes()),
        n_hat(spectral.modes()),
        decay(spectral.modes()),
        weight(spectral.modes()) {}

  void update_factors(const RidiParams& p);
  void explicit_part(const ScalarField2D& phi, const QField2D& q_lip, const VelocityField2D& v,
                     const RidiParams& p);
};

// Per mode, with k^2 = kx^2 + ky^2:
//   L = (a_ch k^2 + kappa_ch k^4) (-m_l),  z = dt L,  E = exp(z),
//   phi_1 = dt ((z/2 + 1) + z^2/6) for |z| < 1e-10 (where (E - 1)/L cancels), else (E - 1)/L.
// k^2 is the same for rows i and nx - i (k(-i) = -k(i) exactly away from the Nyquist row, which
// is its own mirror), so the exponentials of the upper rows are copied from the lower ones.
void ChWorkspace2D::State::update_factors(const RidiParams& p) {
  const std::array<std::uint64_t, 5> wanted{bits(p.dt), bits(p.m_l), bits(p.a_ch), bits(p.kappa_ch),
                                            bits(spectral.dx())};
  if (factors_valid && wanted == key) return;
  const Count nx = spectral.nx();
  const Count nyh = spectral.half_ny();
  const std::vector<double>& kx = spectral.kx();
  const std::vector<double>& ky = spectral.ky();
  const double dt = p.dt;
  kept.clear();
  for (Count i = 0; i < nx; ++i) {
    const Count row = i * nyh;
    const Count mirror = mirror_index(i, nx);
    if (mirror < i) {
      for (Count j = 0; j < nyh; ++j) {
        decay[row + j] = decay[mirror * nyh + j];
        weight[row + j] = weight[mirror * nyh + j];
      }
    } else {
      for (Count j = 0; j < nyh; ++j) {
        const double k2 = kx[i] * kx[i] + ky[j] * ky[j];
        if (is_zero_mode(k2)) {
          decay[row + j] = 1.0;
          weight[row + j] = 0.0;
          continue;
        }
        const double l = (p.a_ch * k2 + p.kappa_ch * (k2 * k2)) * -p.m_l;
        const double z = dt * l;
        const double e = std::exp(z);
        decay[row + j] = e;
        weight[row + j] =
            std::fabs(z) < 1e-10 ? dt * ((z * 0.5 + 1.0) + (z * z) / 6.0) : (e - 1.0) / l;
      }
    }
    for (Count j = 0; j < nyh; ++j) {
      if (is_zero_mode(kx[i] * kx[i] + ky[j] * ky[j])) kept.push_back(row + j);
    }
  }
  kept_values.resize(kept.size());
  key = wanted;
  factors_valid = true;
}

// mu_nl = phi (phi (b_ch phi)) - chi_ms (2 (q1^2 + q2^2)), then per vertex
// N = m_l lap5(mu_nl) - u.grad(phi), the Laplacian with phi's spacing and the upwind
// derivative with the velocity's (as ScalarField2D::laplacian and advect_scalar give them).
void ChWorkspace2D::State::explicit_part(const ScalarField2D& phi, const QField2D& q_lip,
                                         const VelocityField2D& v, const RidiParams& p) {
  const Count n = spectral.points();
  const double* f = phi.data.data();
  const double* q = q_lip.data.data();
  double* m = mu.data();
  for (Count k = 0; k < n; ++k) {
    const double q1 = q[2 * k];
    const double q2 = q[2 * k + 1];
    m[k] = f[k] * (f[k] * (p.b_ch * f[k])) - p.chi_ms * (2.0 * (q1 * q1 + q2 * q2));
    phi_real[k] = f[k];
  }
  const double dx2 = phi.dx * phi.dx;
  const double vdx = v.dx;
  const double* u = v.data.data();
  double* out = explicit_term.data();
  const double m_l = p.m_l;
  lodestra_fields::for_each_stencil(
      spectral.nx(), spectral.ny(), [&](const lodestra_fields::Stencil& s) {
        const double lap =
            lodestra_fields::laplacian5(m[s.k], m[s.xp], m[s.xm], m[s.yp], m[s.ym], dx2);
        const double adv = lodestra_fields::upwind(f[s.k], f[s.xp], f[s.xm], f[s.yp], f[s.ym],
                                                   u[2 * s.k], u[2 * s.k + 1], vdx);
        out[s.k] = m_l * lap - adv;
      });
}

ChWorkspace2D::ChWorkspace2D(Count nx, Count ny, double dx)
    : state_(std::make_unique<State>(nx, ny, dx)) {}
ChWorkspace2D::~ChWorkspace2D() = default;
ChWorkspace2D::ChWorkspace2D(ChWorkspace2D&&) noexcept = default;
ChWorkspace2D& ChWorkspace2D::operator=(ChWorkspace2D&&) noexcept = default;

void ChWorkspace2D::step(const ScalarField2D& phi, const QField2D& q_lip, const VelocityField2D& v,
                         const RidiParams& params, ScalarField2D& out) {
  State& s = *state_;
  lodestra_core::assert_eq(phi.nx, s.spectral.nx());
  lodestra_core::assert_eq(phi.ny, s.spectral.ny());
  check_operands(phi, q_lip, v);
  if (bits(phi.dx) != bits(s.spectral.dx())) s.spectral.set_dx(phi.dx);

  const Count n = s.spectral.points();
  // Everything phi contributes is read before `out` is written, so out may be phi itself.
  s.explicit_part(phi, q_lip, v, params);
  const Count out_nx = phi.nx;
  const Count out_ny = phi.ny;
  const double out_dx = phi.dx;
  if (n > 0) {
    s.spectral.forward(s.phi_real, s.phi_hat);
    s.spectral.forward(s.explicit_term, s.n_hat);
    s.update_factors(params);

    // phi^ <- phi^ E + N^ phi_1 on every mode but the kept ones, which stay as they are
    // (so the mean of phi survives whatever the mean of N).
    for (std::size_t t = 0; t < s.kept.size(); ++t) s.kept_values[t] = s.phi_hat[s.kept[t]];
    etd_update(reinterpret_cast<double*>(s.phi_hat.data()),
               reinterpret_cast<const double*>(s.n_hat.data()), s.decay.data(), s.weight.data(),
               s.spectral.modes());
    for (std::size_t t = 0; t < s.kept.size(); ++t) s.phi_hat[s.kept[t]] = s.kept_values[t];

    s.spectral.inverse_unnormalised(s.phi_hat, s.phi_real);
  }
  out.nx = out_nx;
  out.ny = out_ny;
  out.dx = out_dx;
  out.data.resize(n);
  divide(s.phi_real.data(), out.data.data(), n, s.spectral.divisor());
}

namespace {

thread_local RecentWorkspaces<ChWorkspace2D> recent_workspaces;

}  // namespace

ScalarField2D ch_step_etd(const ScalarField2D& phi, const QField2D& q_lip, const VelocityField2D& v,
                          const RidiParams& params) {
  check_operands(phi, q_lip, v);
  ScalarField2D out;
  recent_workspaces.with(phi.nx, phi.ny, phi.dx, [&](ChWorkspace2D& workspace) {
    workspace.step(phi, q_lip, v, params, out);
  });
  return out;
}

}  // namespace lodestra_solver
