#pragma once
// Grid edges pierced by disclination lines of a 3D Q field.

#include <array>
#include <cstdint>
#include <string_view>
#include <vector>

#include "lodestra_fields/fields3d.hpp"

namespace tarnel_geo {

enum class DisclinationCharge : std::uint8_t { half_plus = 0, half_minus = 1, anti = 2 };

// "half_plus", "half_minus" or "anti".
std::string_view charge_name(DisclinationCharge charge);

// One pierced grid edge: from the base vertex (flat index) to its forward periodic
// neighbour along the edge's axis; position is the edge midpoint in physical units,
// never wrapped (an edge from n-1 to 0 has its midpoint at dx*(n - 0.5)).
struct DisclinationSegment {
  std::uint64_t from;
  std::uint64_t to;
  std::array<double, 3> position;
  DisclinationCharge charge;
};

namespace disclination::segments {

// Around every vertex V three loops, one per coordinate plane, each through the centres
// of the four faces that meet at V in that plane. Each face carries the director n of
// its mean tensor (the unit eigenvector of the largest eigenvalue). A link between
// consecutive faces has the sign of n_k . n_{k+1} (or, for |n_k . n_{k+1}| <= 1e-12, the
// product of the signs of their first non-zero components); the loop encloses a
// half-integer line when the product of its four link signs is negative, i.e. the
// director comes back reversed. The result does not depend on the signs of the
// eigenvectors. A face whose mean tensor is not finite has no director, and no loop
// through it passes. Segments in flat vertex order, x before y before z per vertex.
std::vector<DisclinationSegment> scan_disclination_lines_3d(const lodestra_fields::QField3D& q);

}  // namespace disclination::segments
}  // namespace tarnel_geo
