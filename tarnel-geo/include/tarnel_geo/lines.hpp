#pragma once
// Disclination lines assembled from pierced grid edges, with Frenet-Serret geometry.

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "tarnel_geo/segments.hpp"

namespace tarnel_geo {

struct DisclinationLine {
  std::vector<std::array<double, 3>> vertices;  // ordered positions, physical units
  std::vector<std::array<double, 3>> tangents;  // unit tangents (zero on degenerate steps)
  std::vector<double> curvatures;
  std::vector<double> torsions;
  bool is_loop = false;
  DisclinationCharge charge = DisclinationCharge::half_plus;

  // Sum of |v[k+1] - v[k]|, k = 0..n-2, from 0.0; a loop's closing step is not included.
  double length() const;
  // Sum of the curvatures in order divided by their number; 0.0 for none.
  double mean_curvature() const;
};

namespace disclination::lines {

// Joins the segments of an nx x ny x nz grid of spacing dx into lines. Two segments are
// neighbours when their base vertices lie in periodically adjacent cells (27-cell
// neighbourhood, same vertex included); connected groups are peeled into paths from
// their farthest segment, always stepping to the nearest unused neighbour (minimum-image
// index distance, ties to the lowest index). A path closes into a loop when its end
// neighbours its start. Vertices sit at the base vertices, unwrapped across the
// periodic boundary and shifted so their mean lies in the box, then smoothed by two
// Jacobi passes of (P[k-1] + 2 P[k] + P[k+1]) / 4 (cyclic for loops). Linear in the
// number of segments. Panics when a segment's base vertex is outside the grid.
std::vector<DisclinationLine> connect_disclination_lines(
    std::span<const DisclinationSegment> segments, std::uint64_t nx, std::uint64_t ny,
    std::uint64_t nz, double dx);

// The Frenet-Serret frame of a polyline (eps = 1e-14): central-difference tangents
// (one-sided at the two ends, also for loops), curvature |dT/ds| and torsion
// -(dB/ds) . N on the same stencil; zero where a step is shorter than eps.
void frenet_geometry(DisclinationLine& line);

}  // namespace disclination::lines
}  // namespace tarnel_geo
