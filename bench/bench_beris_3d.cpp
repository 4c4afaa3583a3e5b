// Fused 3D Euler steps at 64^3, each against a limit measured in the same run:
//   dry step (right-hand side + Euler)   <= 6 x one copy of the Q field
//   flow step (with co-rotation and advection): reported against the same copy.

#include <algorithm>
#include <cstdio>
#include <vector>

#include "lodestra_core/params3d.hpp"
#include "lodestra_fields/fields3d.hpp"
#include "lodestra_solver/beris_3d.hpp"
#include "timing.hpp"

using lodestra_core::RidiParams3D;
using lodestra_fields::QField3D;
using lodestra_fields::VelocityField3D;
using namespace lodestra_solver;

int main() {
  const lodestra_fields::Count n = 64;
  RidiParams3D p = RidiParams3D::default_test();
  p.chi_a = 0.2;  // every term of H at work
  const QField3D q = QField3D::random_perturbation(n, n, n, 1.0, 0.1, 42);
  const QField3D r = QField3D::random_perturbation(n, n, n, 1.0, 0.5, 7);
  VelocityField3D u = VelocityField3D::zeros(n, n, n, 1.0);
  for (std::size_t k = 0; k < u.data.size(); ++k) u.data[k] = r.data[k];
  QField3D out = QField3D::zeros(n, n, n, 1.0);
  std::vector<double> copy(q.data.size());

  const auto copy_q = [&] {
    std::copy(q.data.begin(), q.data.end(), copy.begin());
    bench::keep(copy);
  };
  const auto dry = [&] {
    dry_euler_step_3d(q, p, 0.5, p.dt, out);
    bench::keep(out);
  };
  const auto flow = [&] {
    flow_euler_step_3d(q, u, p, 0.5, p.dt, out);
    bench::keep(out);
  };

  // The three are measured in turn in every round, each taken at its best, so
  // that a busy spell of the machine does not fall on one of them only.
  double t_copy = 1e30;
  double t_dry = 1e30;
  double t_flow = 1e30;
  for (int round = 0; round < 5; ++round) {
    t_copy = std::min(t_copy, bench::best_seconds(copy_q, 10));
    t_dry = std::min(t_dry, bench::best_seconds(dry, 4));
    t_flow = std::min(t_flow, bench::best_seconds(flow, 2));
  }
  bool ok = bench::report("dry Euler step 64^3 / Q copy", t_dry, t_copy, 6.0);
  std::printf("%-44s %10.1f us  reference %10.1f us  ratio %6.3f (information)\n",
              "flow Euler step 64^3 / Q copy", t_flow * 1e6, t_copy * 1e6, t_flow / t_copy);
  return ok ? 0 : 1;
}
