#pragma once
// Spectral Stokes flow of the active stress sigma^a = zeta_eff Q on the periodic
// 2D grid: eta lap^2 psi = zeta ((dx^2 - dy^2) Qxy - 2 dx dy Qxx), u = (dpsi/dy, -dpsi/dx).
// With substrate friction Gamma_f the film solves eta lap u - Gamma_f u - grad p + div sigma = 0,
// that is eta lap^2 psi - Gamma_f lap psi = curl div sigma.

#include <memory>

#include "lodestra_core/params.hpp"
#include "lodestra_fields/fields2d.hpp"

namespace lodestra_solver {

using lodestra_core::RidiParams;
using lodestra_fields::Count;
using lodestra_fields::QField2D;
using lodestra_fields::ScalarField2D;
using lodestra_fields::VelocityField2D;

// Per-grid state of the solver (FFT plans, wavenumber tables, spectra), built once
// and reused by the drivers so that a time step allocates nothing.
class StokesWorkspace2D {
 public:
  StokesWorkspace2D(Count nx, Count ny, double dx);
  ~StokesWorkspace2D();
  StokesWorkspace2D(StokesWorkspace2D&&) noexcept;
  StokesWorkspace2D& operator=(StokesWorkspace2D&&) noexcept;

  // Velocity driven by q's active stress, written into `out` (sized to q's grid).
  // q must lie on the workspace's grid.
  void solve(const QField2D& q, const RidiParams& params, VelocityField2D& out);
  // The same with substrate friction Gamma_f >= 0: psi^ = zeta (...) / (k^2 (eta k^2 +
  // Gamma_f)). A zero friction is the call above, bit for bit.
  void solve(const QField2D& q, const RidiParams& params, double friction, VelocityField2D& out);

  // A general stress source: its traceless symmetric part (sigma_xx, sigma_xy) and its
  // antisymmetric part A = sigma_xy - sigma_yx over 2 (sigma_xy = -sigma_yx = A), one
  // plane of nx*ny values each in vertex order. The caller fills the planes of
  // stress_planes(), which stay valid until the next call, then calls solve_stress:
  //   psi^ = ((ky^2 - kx^2) sxy^ + 2 kx ky sxx^ + k^2 A^) / (k^2 (eta k^2 + Gamma_f)).
  struct StressPlanes {
    double* sxx;
    double* sxy;
    double* anti;
  };
  StressPlanes stress_planes();
  void solve_stress(double dx, double eta, double friction, VelocityField2D& out);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

VelocityField2D stokes_solve(const QField2D& q, const RidiParams& params);

}  // namespace lodestra_solver
