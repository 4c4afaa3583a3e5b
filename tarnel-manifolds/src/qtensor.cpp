#include "tarnel_manifolds/qtensor.hpp"

#include "tarnel_manifolds/eigen_sym3.hpp"

namespace tarnel_manifolds::qtensor {

namespace {

// Steps 2 and 3 of q_to_frame on the symmetrised tensor s (column-major).
Mat3 frame_of_symmetric(const std::array<double, 9>& s) {
  Mat3 f{sym3_eigen(s).vectors};
  if (determinant(f) < 0.0) {
    for (std::size_t r = 0; r < 3; ++r) f(r, 2) = -f(r, 2);
  }
  return f;
}

}  // namespace

Mat3 q_to_frame(const Mat3& q) {
  std::array<double, 9> s;
  for (std::size_t c = 0; c < 3; ++c) {
    for (std::size_t r = 0; r < 3; ++r) s[3 * c + r] = (q(r, c) + q(c, r)) * 0.5;
  }
  return frame_of_symmetric(s);
}

Mat3 q_to_frame_rows(const std::array<double, 9>& q_rows) {
  // Q(r, c) = q_rows[3r + c]; S(r, c) = (Q(r, c) + Q(c, r)) * 0.5 as in q_to_frame.
  std::array<double, 9> s;
  for (std::size_t c = 0; c < 3; ++c) {
    for (std::size_t r = 0; r < 3; ++r)
      s[3 * c + r] = (q_rows[3 * r + c] + q_rows[3 * c + r]) * 0.5;
  }
  return frame_of_symmetric(s);
}

}  // namespace tarnel_manifolds::qtensor
