#include "lodestra_solver/run_control.hpp"

#include <cmath>

namespace lodestra_solver {

bool all_finite(std::span<const double> values) {
  bool finite = true;
  for (const double x : values) finite &= std::isfinite(x);
  return finite;
}

}  // namespace lodestra_solver
