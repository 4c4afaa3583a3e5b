#pragma once
// 3x3 matrices and the nematic frame of a Q tensor.

#include <array>
#include <cstddef>

namespace tarnel_manifolds {

// A 3x3 real matrix stored column by column: element (r, c) is data[3*c + r], so column c
// (a frame's axis c) is the contiguous run data[3c .. 3c+2]. Every sequence of frames and
// holonomies in the defect code holds matrices in this form.
struct Mat3 {
  std::array<double, 9> data{};

  double operator()(std::size_t r, std::size_t c) const { return data[3 * c + r]; }
  double& operator()(std::size_t r, std::size_t c) { return data[3 * c + r]; }

  static Mat3 identity() { return Mat3{{1.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0, 1.0}}; }

  friend bool operator==(const Mat3&, const Mat3&) = default;
};

namespace qtensor {

// Cofactor expansion along the first row:
//   F00 (F11 F22 - F12 F21) - F01 (F10 F22 - F12 F20) + F02 (F10 F21 - F11 F20).
inline double determinant(const Mat3& f) {
  return f(0, 0) * (f(1, 1) * f(2, 2) - f(1, 2) * f(2, 1)) -
         f(0, 1) * (f(1, 0) * f(2, 2) - f(1, 2) * f(2, 0)) +
         f(0, 2) * (f(1, 0) * f(2, 1) - f(1, 1) * f(2, 0));
}

// Orthonormal right-handed frame of a Q tensor:
//   1. S = (Q + Q^T) / 2, each entry as (Q(r,c) + Q(c,r)) * 0.5;
//   2. F = the unit eigenvectors of S as columns, in the order and with the signs of
//      sym3_eigen (eigen_sym3.hpp: ascending eigenvalues), never re-sorted;
//   3. if det F < 0, column 2 is negated, so det F = +1. A determinant of exactly 0 or
//      NaN leaves F as it is.
// For a plane tensor [[q1, q2, 0], [q2, -q1, 0], [0, 0, 0]] (not zero) this gives columns
// (minor in-plane axis, +e_z, director). A tensor with a NaN or infinite entry gives an
// all-NaN frame.
Mat3 q_to_frame(const Mat3& q);

// q_to_frame of a tensor given row-major (element (r, c) at q_rows[3r + c]), as
// QField2D::to_q3d produces them: the same arithmetic, read in place.
Mat3 q_to_frame_rows(const std::array<double, 9>& q_rows);

}  // namespace qtensor
}  // namespace tarnel_manifolds
