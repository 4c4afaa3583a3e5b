#pragma once
// Fields of nematic frames and the D2 gauge fix that compares two of them.

#include <array>
#include <vector>

#include "tarnel_manifolds/qtensor.hpp"

namespace tarnel_manifolds::frame_field {

struct FrameField3D {
  std::vector<Mat3> frames;  // one per vertex, in the vertex order of the tensors

  // Frame m = q_to_frame(qs[m]), through q_to_frame_rows: each input matrix is
  // row-major (element (r, c) at index 3r + c), as QField2D::to_q3d produces them.
  // Empty input, empty field.
  static FrameField3D from_q_field(const std::vector<std::array<double, 9>>& qs);
};

// A nematic frame is known only up to the sign of each axis. Of the four sign patterns
// (s0, s1, s2) that keep the handedness, D2 = {(+,+,+), (-,-,+), (-,+,-), (+,-,-)}, this
// returns B with its columns multiplied by the pattern that maximises trace(A^T B'), that
// is the score s0 d0 + s1 d1 + s2 d2 with d_c = a_c . b_c. Ties go to the earlier pattern
// in that order (strict comparisons); a NaN score for (+,+,+) counts as -infinity, and any
// other NaN comparison is false, so NaN frames still yield a pattern. B' keeps det B.
Mat3 d2_gauge_fix(const Mat3& a, const Mat3& b);

}  // namespace tarnel_manifolds::frame_field
