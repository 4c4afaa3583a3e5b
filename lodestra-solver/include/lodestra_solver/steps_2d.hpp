#pragma once
// The time steps of the 2D runs, built once per run and reused for every step:
// the fused fourth-order Runge-Kutta step of the dry model and the explicit Euler
// step with Stokes flow. Each gives, bit for bit, the field-operator composition
// of the model (add(X, scale(k, c)) and the Beris-Edwards terms) while keeping
// its buffers from step to step.

#include <array>
#include <vector>

#include "lodestra_core/params.hpp"
#include "lodestra_fields/fields2d.hpp"
#include "lodestra_fields/random.hpp"
#include "lodestra_solver/model_options.hpp"
#include "lodestra_solver/noise_2d.hpp"
#include "lodestra_solver/stokes_2d.hpp"

namespace lodestra_solver {

// Classical RK4 on dQ/dt = F(Q) = Gamma_r H(Q), fused into four passes over the
// grid. Pass s evaluates k_s = F(X_s) per vertex and in the same sweep forms the
// next stage input X_{s+1} = Q + k_s c_s and the running sum
// ((k1 + k2 2) + k3 2); the last pass writes Q + (sum + k4) (dt/6) in place.
// The run keeps Q and the stage buffers as planes, one array per component,
// allocated once: contiguous component runs vectorise without shuffling the
// interleaved (q1, q2) records. Q returns to a QField2D only on store().
class DryRk4 {
 public:
  DryRk4(const lodestra_fields::QField2D& q, const lodestra_core::RidiParams& params);

  void load(const lodestra_fields::QField2D& q);
  void store(lodestra_fields::QField2D& q) const;
  void step();
  void add_noise(const Noise2D& noise, lodestra_fields::Xoshiro256pp& gen);

 private:
  using Plane = std::vector<double>;
  using Planes = std::array<Plane, 2>;

  template <bool kUnit>
  void stages();

  lodestra_fields::Count nx_;
  lodestra_fields::Count ny_;
  double dx_;
  lodestra_core::RidiParams params_;
  Planes q_;
  Planes a_;
  Planes b_;
  Planes sum_;
};

// The hydrodynamic step of Q's grid: the Stokes workspace and the buffer of the
// next Q, built once. step() solves the flow of the current Q into `velocity`
// and replaces Q by Q + dt R(Q, velocity). The model options add substrate
// friction to the flow, flow alignment to S and the passive stress to the source
// of the flow; at their defaults the step is the base one, bit for bit.
class FlowStepper {
 public:
  explicit FlowStepper(const lodestra_fields::QField2D& q);

  void step(lodestra_fields::QField2D& q, const lodestra_core::RidiParams& params,
            const ModelOptions& options, lodestra_fields::VelocityField2D& velocity);

 private:
  StokesWorkspace2D stokes_;
  lodestra_fields::QField2D next_;
  std::vector<double> h_;  // the molecular field of a step with backflow
};

}  // namespace lodestra_solver
