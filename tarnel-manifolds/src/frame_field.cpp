#include "tarnel_manifolds/frame_field.hpp"

#include <cmath>
#include <limits>

namespace tarnel_manifolds::frame_field {

FrameField3D FrameField3D::from_q_field(const std::vector<std::array<double, 9>>& qs) {
  FrameField3D out;
  out.frames.reserve(qs.size());
  for (const std::array<double, 9>& q_rows : qs)
    out.frames.push_back(qtensor::q_to_frame_rows(q_rows));
  return out;
}

Mat3 d2_gauge_fix(const Mat3& a, const Mat3& b) {
  // d_c = a_c . b_c, the three products summed in row order.
  double d[3];
  for (std::size_t c = 0; c < 3; ++c) {
    d[c] = a(0, c) * b(0, c) + a(1, c) * b(1, c) + a(2, c) * b(2, c);
  }
  static constexpr double kPatterns[4][3] = {
      {1.0, 1.0, 1.0}, {-1.0, -1.0, 1.0}, {-1.0, 1.0, -1.0}, {1.0, -1.0, -1.0}};
  double u = d[0] + d[1] + d[2];
  if (std::isnan(u)) u = -std::numeric_limits<double>::infinity();
  const double t = -d[0] - d[1] + d[2];
  const double v = -d[0] + d[1] - d[2];
  const double w = d[0] - d[1] - d[2];

  int pick = 0;
  double best = u;
  if (t > u) {
    pick = 1;
    best = t;
  }
  if (v > best) {
    pick = 2;
    best = v;
  }
  if (w > best) pick = 3;

  Mat3 out;
  for (std::size_t c = 0; c < 3; ++c) {
    const double s = kPatterns[pick][c];
    for (std::size_t r = 0; r < 3; ++r) out(r, c) = b(r, c) * s;
  }
  return out;
}

}  // namespace tarnel_manifolds::frame_field
