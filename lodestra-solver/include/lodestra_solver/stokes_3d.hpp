#pragma once
// Spectral Stokes flow of the 3D active force on the periodic grid:
//   eta lap u - grad p + f = 0,  div u = 0,  f = -zeta_eff div Q,
// solved mode by mode as u^ = (I - k k^T / k^2) f^ / (eta k^2) over the central-difference
// wavenumbers of spectral3d.hpp, so that the discrete divergence of u vanishes. The mean
// mode carries no flow; the pressure is not computed and returned as zeros. With substrate
// friction Gamma_f the flow solves eta lap u - Gamma_f u - grad p + f = 0, divisor
// eta k^2 + Gamma_f.

#include <memory>
#include <utility>
#include <vector>

#include "lodestra_core/params3d.hpp"
#include "lodestra_fields/fields3d.hpp"

namespace lodestra_solver {

// Per-grid state of the solver (plans, wavenumbers, force and spectra), built once and
// reused so that a time step allocates nothing.
class StokesWorkspace3D {
 public:
  StokesWorkspace3D(lodestra_fields::Count nx, lodestra_fields::Count ny, lodestra_fields::Count nz,
                    double dx);
  ~StokesWorkspace3D();
  StokesWorkspace3D(StokesWorkspace3D&&) noexcept;
  StokesWorkspace3D& operator=(StokesWorkspace3D&&) noexcept;

  // Velocity driven by q's active force, written into u. q must lie on the workspace's grid.
  void solve(const lodestra_fields::QField3D& q, const lodestra_core::RidiParams3D& p,
             lodestra_fields::VelocityField3D& u);
  // The same with substrate friction Gamma_f >= 0; a zero friction is the call above.
  void solve(const lodestra_fields::QField3D& q, const lodestra_core::RidiParams3D& p,
             double friction, lodestra_fields::VelocityField3D& u);
  // The same with a further stress (nine planes of nx ny nz values, sigma_ab in plane 3a + b;
  // nullptr: none) whose central-difference divergence is added to the active force:
  // f = -zeta div Q + div sigma.
  void solve(const lodestra_fields::QField3D& q, const lodestra_core::RidiParams3D& p,
             double friction, const double* stress, lodestra_fields::VelocityField3D& u);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

std::pair<lodestra_fields::VelocityField3D, lodestra_fields::PressureField3D> stokes_solve_3d(
    const lodestra_fields::QField3D& q, const lodestra_core::RidiParams3D& p);

// The velocity of stokes_solve_3d, bit for bit, written into u (its storage is reused when
// it already has q's size). Keeps the workspace of the last grid solved. A non-zero
// friction Gamma_f solves the flow with substrate friction; a stress (nine planes, as in
// StokesWorkspace3D::solve) adds its divergence to the force.
void stokes_solve_3d_into(const lodestra_fields::QField3D& q, const lodestra_core::RidiParams3D& p,
                          lodestra_fields::VelocityField3D& u, double friction = 0.0,
                          const std::vector<double>* stress = nullptr);

}  // namespace lodestra_solver
