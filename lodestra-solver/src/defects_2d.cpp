#include "lodestra_solver/defects_2d.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <numbers>
#include <span>
#include <utility>
#include <vector>

#include "lodestra_core/panic.hpp"
#include "lodestra_core/sizes.hpp"
#include "lodestra_core/threads.hpp"
#include "tarnel_geo/holonomy.hpp"
#include "tarnel_manifolds/qtensor.hpp"

namespace lodestra_solver {

namespace {

using lodestra_fields::Count;
using lodestra_fields::QField2D;
using tarnel_manifolds::Mat3;

// Turn of the director around a plaquette, from its corner angles theta =
// atan2(q2, q1) / 2 in (-pi/2, pi/2] (lodestra_fields::director_angle) in loop order
// (i,j), (i+1,j), (i+1,j+1), (i,j+1) (counter-clockwise in x = i, y = j):
//   W = sum over the four links, the closing one included, of wrap(theta_next - theta),
//   wrap into (-pi/2, pi/2],
// since a director is defined modulo pi and each link takes the shorter turn. W is +pi
// around a +1/2 defect, -pi around a -1/2 defect and 0 where there is none (up to
// rounding). Its sign is the defect's charge sign; the holonomy cannot give it, since
// around a +-1/2 core it is a rotation by pi, whose antisymmetric part vanishes.
double director_winding(const std::array<double, 4>& theta) {
  constexpr double kHalfPi = std::numbers::pi / 2.0;
  double winding = 0.0;
  for (int k = 0; k < 4; ++k) {
    double turn = theta[(k + 1) % 4] - theta[k];
    if (turn > kHalfPi) {
      turn -= std::numbers::pi;
    } else if (turn <= -kHalfPi) {
      turn += std::numbers::pi;
    }
    winding += turn;
  }
  return winding;
}

// Director angles of the corners of plaquette (i, j) in loop order. Only the few
// plaquettes that hold a defect ask for them.
std::array<double, 4> corner_angles(const QField2D& q, Count i, Count j) {
  auto angle = [&](Count a, Count b) {
    const Count k = a * q.ny + b;
    return lodestra_fields::director_angle(q.q1(k), q.q2(k));
  };
  return {angle(i, j), angle(i + 1, j), angle(i + 1, j + 1), angle(i, j + 1)};
}

}  // namespace

std::vector<DefectInfo> scan_defects(const QField2D& q, double threshold) {
  lodestra_core::assert_eq(
      q.data.size(), lodestra_core::checked_mul(lodestra_fields::vertex_count(q.nx, q.ny), 2));
  std::vector<DefectInfo> defects;
  if (q.nx < 2 || q.ny < 2) return defects;  // no plaquette; allocate nothing per row
  const Count ny = q.ny;
  // Frames are made a row at a time, as the scan asks for them: the row's tensors as
  // QField2D::to_q3d writes them, then q_to_frame_rows of each, the frames
  // FrameField3D::from_q_field would give, without storing nx * ny of either. The
  // tensors are all written before the first is read back, so no read waits on a
  // store still in flight.
  auto scan = [&](Count r0, Count r1, const tarnel_geo::PlaquetteVisitor& found) {
    std::vector<std::array<double, 9>> tensors(ny);
    tarnel_geo::scan_disclination_row_range(
        r0, r1, ny, threshold,
        [&](std::uint64_t i, std::span<Mat3> row) -> std::span<const Mat3> {
          for (Count j = 0; j < ny; ++j) {
            tensors[j] = lodestra_fields::embed_q3d(q.q1(i * ny + j), q.q2(i * ny + j));
          }
          for (Count j = 0; j < ny; ++j)
            row[j] = tarnel_manifolds::qtensor::q_to_frame_rows(tensors[j]);
          return row;
        },
        found);
  };
  auto defect = [&](const tarnel_geo::PlaquetteHolonomy& hit) {
    const auto [i, j] = hit.plaquette;
    const double winding = director_winding(corner_angles(q, i, j));
    const std::int8_t sign = winding >= 0.0 ? 1 : -1;  // a NaN winding gives -1
    return DefectInfo{hit.plaquette, hit.angle, sign};
  };
  const Count rows = q.nx - 1;
  if (lodestra_core::num_threads() == 1) {
    scan(0, rows,
         [&](const tarnel_geo::PlaquetteHolonomy& hit) { defects.push_back(defect(hit)); });
    return defects;
  }
  // Threads scan ranges of plaquette rows (each making the frames of the row before its
  // range once more); the rows' defects are joined in row order.
  std::vector<std::vector<DefectInfo>> per_row(rows);
  lodestra_core::parallel_for(0, rows, lodestra_core::grain_for(200 * ny), [&](Count r0, Count r1) {
    scan(r0, r1, [&](const tarnel_geo::PlaquetteHolonomy& hit) {
      per_row[hit.plaquette.first].push_back(defect(hit));
    });
  });
  for (const auto& row : per_row) defects.insert(defects.end(), row.begin(), row.end());
  return defects;
}

}  // namespace lodestra_solver
