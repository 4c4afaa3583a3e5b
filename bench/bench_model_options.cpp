// The hydrodynamic step with the model options against the base step, 256 x 256,
// measured in turn in the same run:
//   friction + flow alignment   <= 1.1 x the base step (only the Stokes divisor and
//                                   a few products per vertex change)
//   backflow "full"             <= 1.5 x the base step (one more forward transform
//                                   and one stencil pass for H and the passive stress)
// 3D: the bech3d step (Stokes, Euler, Cahn-Hilliard), 48^3, against the base step:
// friction + flow alignment <= 1.1, backflow "full" <= 1.5.

#include <algorithm>
#include <cstdio>
#include <limits>
#include <vector>

#include "lodestra_core/params.hpp"
#include "lodestra_core/params3d.hpp"
#include "lodestra_fields/fields2d.hpp"
#include "lodestra_fields/fields3d.hpp"
#include "lodestra_solver/model_options.hpp"
#include "lodestra_solver/run_3d.hpp"
#include "lodestra_solver/steps_2d.hpp"
#include "timing.hpp"

using lodestra_core::RidiParams;
using lodestra_core::RidiParams3D;
using lodestra_fields::QField2D;
using lodestra_fields::QField3D;
using namespace lodestra_solver;

int main() {
  bool ok = true;
  {
    RidiParams p = RidiParams::default_test();
    p.nx = p.ny = 256;
    const QField2D q0 = QField2D::random_perturbation(256, 256, 1.0, 0.1, 42);
    const ModelOptions variants[3] = {ModelOptions{}, ModelOptions{0.008, -0.7, Backflow::off},
                                      ModelOptions{0.008, -0.7, Backflow::full}};
    double best[3] = {std::numeric_limits<double>::infinity(), best[0], best[0]};
    FlowStepper stepper(q0);
    lodestra_fields::VelocityField2D v;
    QField2D q = q0;
    for (int r = 0; r < 15; ++r) {
      for (int k = 0; k < 3; ++k) {
        q = q0;
        best[k] =
            std::min(best[k], bench::best_seconds([&] { stepper.step(q, p, variants[k], v); }, 1));
      }
    }
    ok &= bench::report("hydro step 256^2, friction + alignment", best[1], best[0], 1.1);
    ok &= bench::report("hydro step 256^2, backflow full", best[2], best[0], 1.5);
  }
  {
    // The whole bech3d step (Stokes, Euler, Cahn-Hilliard), one step per timing.
    RidiParams3D p = RidiParams3D::default_test();
    p.nx = p.ny = p.nz = 48;
    p.zeta_eff = 1.0;
    const QField3D q = QField3D::random_perturbation(48, 48, 48, 1.0, 0.1, 42);
    const lodestra_fields::ScalarField3D phi =
        lodestra_fields::ScalarField3D::uniform(48, 48, 48, 1.0, 0.3);
    const ModelOptions variants[3] = {ModelOptions{}, ModelOptions{0.008, 0.7, Backflow::off},
                                      ModelOptions{0.008, 0.7, Backflow::full}};
    std::vector<Run3D> runs;
    for (const ModelOptions& o : variants) {
      RunState3D s = start_run_3d(Model3D::bech, q, phi, p, std::nullopt, false, std::nullopt);
      s.options = o;
      runs.emplace_back(std::move(s));
      runs.back().advance(1, 0, RunControl{});
    }
    double best[3] = {std::numeric_limits<double>::infinity(), best[0], best[0]};
    for (int r = 0; r < 9; ++r) {
      for (int k = 0; k < 3; ++k) {
        best[k] =
            std::min(best[k], bench::best_seconds([&] { runs[k].advance(1, 0, RunControl{}); }, 1));
      }
    }
    ok &= bench::report("bech3d step 48^3, friction + alignment", best[1], best[0], 1.1);
    ok &= bench::report("bech3d step 48^3, backflow full", best[2], best[0], 1.5);
  }
  return ok ? 0 : 1;
}
