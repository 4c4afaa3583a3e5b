#pragma once
// Point disclinations of a 2D Q field found by holonomy.

#include <cstdint>
#include <utility>
#include <vector>

#include "lodestra_fields/fields2d.hpp"

namespace lodestra_solver {

struct DefectInfo {
  std::pair<std::uint64_t, std::uint64_t> plaquette;  // corner with the smallest indices
  double angle;                                       // holonomy rotation angle, radians
  std::int8_t charge_sign;                            // +1 or -1
};

// Rotation threshold used by the drivers: pi/2.
inline constexpr double kDefectThreshold = 1.5707963267948966;

std::vector<DefectInfo> scan_defects(const lodestra_fields::QField2D& q, double threshold);

}  // namespace lodestra_solver
