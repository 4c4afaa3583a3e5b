#include "lodestra_solver/ch_3d.hpp"

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <vector>

#include "lodestra_core/format.hpp"
#include "lodestra_core/panic.hpp"
#include "lodestra_core/simd.hpp"
#include "lodestra_core/threads.hpp"
#include "lodestra_fields/grid.hpp"
#include "lodestra_solver/fft.hpp"
#include "lodestra_solver/recent_workspaces.hpp"
#include "lodestra_solver/spectral3d.hpp"

namespace lodestra_solver {

namespace {

using lodestra_core::fmt_int;
using lodestra_core::RidiParams3D;
using lodestra_fields::QField3D;
using lodestra_fields::ScalarField3D;

std::uint64_t bits(double x) { return std::bit_cast<std::uint64_t>(x); }

// Only phi's grid gives sizes; a q with fewer vertices would be read past its end.
void check_operands(const ScalarField3D& phi, const QField3D& q) {
  const Count n = lodestra_fields::vertex_count(phi.nx, phi.ny, phi.nz);
  if (phi.data.size() != n) {
    lodestra_core::panic("ScalarField3D holds " + fmt_int(phi.data.size()) +
                         " values, its grid needs " + fmt_int(n));
  }
  if (q.data.size() / QField3D::kWidth < n) {
    lodestra_core::panic("index out of bounds: q holds " +
                         fmt_int(q.data.size() / QField3D::kWidth) +
                         " vertices but phi's grid has " + fmt_int(n));
  }
}

// Explicit potential per vertex:
//   tr(Q^2) = ((Qxx^2 + Qyy^2) + (Qxx + Qyy)^2) + 2 ((Qxy^2 + Qxz^2) + Qyz^2),
//   M = m_l ((a_ch phi + phi (phi (b_ch phi))) - chi_ms tr(Q^2)).
LODESTRA_SIMD_CLONES
void potential(const double* __restrict phi, const double* __restrict q, double* __restrict f,
               double* __restrict m, Count n, double m_l, double a_ch, double b_ch, double chi_ms) {
  for (Count k = 0; k < n; ++k) {
    const double* r = q + 5 * k;
    const double xx = r[0];
    const double xy = r[1];
    const double xz = r[2];
    const double yy = r[3];
    const double yz = r[4];
    const double zz = xx + yy;
    const double tr = ((xx * xx + yy * yy) + zz * zz) + 2.0 * ((xy * xy + xz * xz) + yz * yz);
    const double p = phi[k];
    m[k] = m_l * ((a_ch * p + p * (p * (b_ch * p))) - chi_ms * tr);
    f[k] = p;
  }
}

// result^ = E phi^ + phi_1 N^ with N^ = (-k^2) M^, real and imaginary parts alike. The Euler
// modes hold E = 1 and phi_1 = dt, which gives phi^ + dt N^ exactly.
LODESTRA_SIMD_CLONES
void etd_update(double* __restrict phi_hat, const double* __restrict m_hat,
                const double* __restrict neg_k2, const double* __restrict decay,
                const double* __restrict weight, Count modes) {
  for (Count k = 0; k < modes; ++k) {
    const double n_re = neg_k2[k] * m_hat[2 * k];
    const double n_im = neg_k2[k] * m_hat[2 * k + 1];
    phi_hat[2 * k] = decay[k] * phi_hat[2 * k] + weight[k] * n_re;
    phi_hat[2 * k + 1] = decay[k] * phi_hat[2 * k + 1] + weight[k] * n_im;
  }
}

LODESTRA_SIMD_CLONES
void scale(const double* __restrict x, double* __restrict out, Count n, double reciprocal) {
  for (Count k = 0; k < n; ++k) out[k] = x[k] * reciprocal;
}

}  // namespace

struct ChWorkspace3D::State {
  Spectral3D spectral;
  fft::RealBuffer phi_real;  // phi before the step, the unnormalised result after it
  fft::RealBuffer m_real;
  fft::ComplexBuffer phi_hat;
  fft::ComplexBuffer m_hat;
  // Per stored mode: -k^2, and the ETD1 factors E and phi_1, valid for `key`. They depend on
  // k^2 only, so a run recomputes them only when dt, m_l, kappa_ch or dx change.
  std::vector<double> neg_k2;
  std::vector<double> decay;
  std::vector<double> weight;
  std::array<std::uint64_t, 4> key{};
  bool factors_valid = false;

  State(Count nx, Count ny, Count nz, double dx)
      : spectral(nx, ny, nz, dx),
        phi_real(spectral.points()),
        m_real(spectral.points()),
        phi_hat(spectral.modes()),
        m_hat(spectral.modes()),
        neg_k2(spectral.modes()),
        decay(spectral.modes()),
        weight(spectral.modes()) {}

  void update_factors(const RidiParams3D& p, double dt);
};

// Per mode, with k^2 = (kx^2 + ky^2) + kz^2 and k^4 = k^2 k^2:
//   k^4 < 1e-14:  E = 1, phi_1 = dt (forward Euler; at k = 0, N^ = 0 keeps the mean);
//   otherwise:    L = g k^4 with g = -(m_l kappa_ch),  E = exp(dt L),  phi_1 = (E - 1)/L.
void ChWorkspace3D::State::update_factors(const RidiParams3D& p, double dt) {
  const std::array<std::uint64_t, 4> wanted{bits(dt), bits(p.m_l), bits(p.kappa_ch),
                                            bits(spectral.dx())};
  if (factors_valid && wanted == key) return;
  const Count nx = spectral.nx();
  const Count ny = spectral.ny();
  const Count nzh = spectral.half_nz();
  const std::vector<double>& kx = spectral.kx();
  const std::vector<double>& ky = spectral.ky();
  const std::vector<double>& kz = spectral.kz();
  const double g = -(p.m_l * p.kappa_ch);
  Count k = 0;
  for (Count i = 0; i < nx; ++i) {
    for (Count j = 0; j < ny; ++j) {
      for (Count l = 0; l < nzh; ++l, ++k) {
        const double k2 = wavenumber_sq_3d(kx[i], ky[j], kz[l]);
        const double k4 = k2 * k2;
        neg_k2[k] = -k2;
        if (k4 < 1e-14) {
          decay[k] = 1.0;
          weight[k] = dt;
        } else {
          const double big_l = g * k4;
          const double e = std::exp(dt * big_l);
          decay[k] = e;
          weight[k] = (e - 1.0) / big_l;
        }
      }
    }
  }
  key = wanted;
  factors_valid = true;
}

ChWorkspace3D::ChWorkspace3D(Count nx, Count ny, Count nz, double dx)
    : state_(std::make_unique<State>(nx, ny, nz, dx)) {}
ChWorkspace3D::~ChWorkspace3D() = default;
ChWorkspace3D::ChWorkspace3D(ChWorkspace3D&&) noexcept = default;
ChWorkspace3D& ChWorkspace3D::operator=(ChWorkspace3D&&) noexcept = default;

void ChWorkspace3D::step(const ScalarField3D& phi, const QField3D& q, const RidiParams3D& p,
                         double dt, ScalarField3D& out) {
  State& s = *state_;
  lodestra_core::assert_eq(phi.nx, s.spectral.nx());
  lodestra_core::assert_eq(phi.ny, s.spectral.ny());
  lodestra_core::assert_eq(phi.nz, s.spectral.nz());
  check_operands(phi, q);
  if (bits(phi.dx) != bits(s.spectral.dx())) s.spectral.set_dx(phi.dx);

  const Count n = s.spectral.points();
  const Count out_nx = phi.nx;
  const Count out_ny = phi.ny;
  const Count out_nz = phi.nz;
  const double out_dx = phi.dx;
  // Everything phi contributes is read before out is written, so out may be phi itself.
  lodestra_core::parallel_for(0, n, lodestra_core::grain_for(6), [&](Count b, Count e) {
    potential(phi.data.data() + b, q.data.data() + 5 * b, s.phi_real.data() + b,
              s.m_real.data() + b, e - b, p.m_l, p.a_ch, p.b_ch, p.chi_ms);
  });
  if (n > 0) {
    s.spectral.forward(s.phi_real, s.phi_hat);
    s.spectral.forward(s.m_real, s.m_hat);
    s.update_factors(p, dt);
    lodestra_core::parallel_for(
        0, s.spectral.modes(), lodestra_core::grain_for(2), [&](Count b, Count e) {
          etd_update(reinterpret_cast<double*>(s.phi_hat.data() + b),
                     reinterpret_cast<const double*>(s.m_hat.data() + b), s.neg_k2.data() + b,
                     s.decay.data() + b, s.weight.data() + b, e - b);
        });
    s.spectral.inverse_unnormalised(s.phi_hat, s.phi_real);
  }
  out.nx = out_nx;
  out.ny = out_ny;
  out.nz = out_nz;
  out.dx = out_dx;
  out.data.resize(n);
  const double reciprocal = s.spectral.reciprocal();
  lodestra_core::parallel_for(0, n, lodestra_core::grain_for(1), [&](Count b, Count e) {
    scale(s.phi_real.data() + b, out.data.data() + b, e - b, reciprocal);
  });
}

namespace {

thread_local LastWorkspace3D<ChWorkspace3D> last_workspace;

}  // namespace

void ch_step_etd_3d_into(const ScalarField3D& phi, const QField3D& q, const RidiParams3D& p,
                         double dt, ScalarField3D& out) {
  check_operands(phi, q);
  last_workspace.for_grid(phi.nx, phi.ny, phi.nz, phi.dx).step(phi, q, p, dt, out);
}

ScalarField3D ch_step_etd_3d(const ScalarField3D& phi, const QField3D& q, const RidiParams3D& p,
                             double dt) {
  ScalarField3D out;
  ch_step_etd_3d_into(phi, q, p, dt, out);
  return out;
}

}  // namespace lodestra_solver
