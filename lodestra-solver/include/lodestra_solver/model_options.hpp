#pragma once
// Physics beyond the specified models, as options of a steppable run with flow.
// With every option at its default a run takes exactly the specified arithmetic.

#include <cstdint>

namespace lodestra_solver {

// The passive (elastic) stress added to the active stress in the Stokes source.
enum class Backflow : std::uint8_t { off, antisymmetric, full };

struct ModelOptions {
  double friction = 0.0;        // substrate friction Gamma_f >= 0 in the Stokes equation
  double flow_alignment = 0.0;  // flow-alignment parameter xi of the co-rotation
  Backflow backflow = Backflow::off;
};

}  // namespace lodestra_solver
