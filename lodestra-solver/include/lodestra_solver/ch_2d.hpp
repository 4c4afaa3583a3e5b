#pragma once
// The lipid side of the two-field model: one ETD1 Cahn-Hilliard step and the K0
// transfer map from the rotor order to the lipid order.

#include <memory>

#include "lodestra_core/params.hpp"
#include "lodestra_fields/fields2d.hpp"

namespace lodestra_solver {

using lodestra_core::RidiParams;
using lodestra_fields::Count;
using lodestra_fields::QField2D;
using lodestra_fields::ScalarField2D;
using lodestra_fields::VelocityField2D;

// Per-grid state of the ETD1 step (FFT plans, wavenumbers, work arrays), built
// once and reused across the steps of a run.
class ChWorkspace2D {
 public:
  ChWorkspace2D(Count nx, Count ny, double dx);
  ~ChWorkspace2D();
  ChWorkspace2D(ChWorkspace2D&&) noexcept;
  ChWorkspace2D& operator=(ChWorkspace2D&&) noexcept;

  // phi after one step of length dt, written into `out` (which may not alias
  // phi). q_lip and v must lie on phi's grid.
  void step(const ScalarField2D& phi, const QField2D& q_lip, const VelocityField2D& v,
            const RidiParams& params, ScalarField2D& out);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

ScalarField2D ch_step_etd(const ScalarField2D& phi, const QField2D& q_lip, const VelocityField2D& v,
                          const RidiParams& params);

// Q_lip = (dx^2 / (2 pi xi^2)) sum over a window of K0(r / xi) Q_rot(shifted).
QField2D k0_convolution(const QField2D& q_rot, const RidiParams& params);

// Abramowitz-Stegun polynomial approximation of K0(x); +inf for x <= 0.
double bessel_k0(double x);

}  // namespace lodestra_solver
