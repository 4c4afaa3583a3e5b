#pragma once
// One ETD1 step of the 3D Cahn-Hilliard equation with the Maier-Saupe coupling,
//   d phi/dt = lap[m_l (a_ch phi + b_ch phi^3 - chi_ms tr(Q^2))] - m_l kappa_ch lap^2 phi,
// the fourth-order term integrated exactly, the chemical potential explicit, every
// Laplacian spectral (-k^2 over the wavenumbers of spectral3d.hpp). No advection.

#include <memory>

#include "lodestra_core/params3d.hpp"
#include "lodestra_fields/fields3d.hpp"

namespace lodestra_solver {

// Per-grid state of the step (plans, wavenumbers, ETD factors, work arrays), built once and
// reused across the steps of a run.
class ChWorkspace3D {
 public:
  ChWorkspace3D(lodestra_fields::Count nx, lodestra_fields::Count ny, lodestra_fields::Count nz,
                double dx);
  ~ChWorkspace3D();
  ChWorkspace3D(ChWorkspace3D&&) noexcept;
  ChWorkspace3D& operator=(ChWorkspace3D&&) noexcept;

  // phi after one step of length dt, written into out (which may be phi itself). phi must
  // lie on the workspace's grid; q must hold at least as many vertices as phi.
  void step(const lodestra_fields::ScalarField3D& phi, const lodestra_fields::QField3D& q,
            const lodestra_core::RidiParams3D& p, double dt, lodestra_fields::ScalarField3D& out);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

lodestra_fields::ScalarField3D ch_step_etd_3d(const lodestra_fields::ScalarField3D& phi,
                                              const lodestra_fields::QField3D& q,
                                              const lodestra_core::RidiParams3D& p, double dt);

// The result of ch_step_etd_3d, bit for bit, written into out (its storage is reused when it
// already has phi's size). Keeps the workspace of the last grid stepped.
void ch_step_etd_3d_into(const lodestra_fields::ScalarField3D& phi,
                         const lodestra_fields::QField3D& q, const lodestra_core::RidiParams3D& p,
                         double dt, lodestra_fields::ScalarField3D& out);

}  // namespace lodestra_solver
