#pragma once
// Spectral Stokes flow of the active stress sigma^a = zeta_eff Q on the periodic
// 2D grid: eta lap^2 psi = zeta ((dx^2 - dy^2) Qxy - 2 dx dy Qxx), u = (dpsi/dy, -dpsi/dx).

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

 private:
  struct State;
  std::unique_ptr<State> state_;
};

VelocityField2D stokes_solve(const QField2D& q, const RidiParams& params);

}  // namespace lodestra_solver
