#pragma once
// Eigen-decomposition of a real symmetric 3x3 matrix: the only place that reaches Eigen.
//
// Method. Eigen's iterative SelfAdjointEigenSolver<Matrix3d>::compute: the matrix is
// scaled by its largest absolute entry, reduced to tridiagonal form by one Householder
// reflection, and diagonalised by implicit symmetric QR sweeps with Wilkinson shifts.
// A sub-diagonal entry e is deflated once |e| <= eps * sqrt(|d_i| + |d_i+1|), with eps
// the double machine epsilon 2.220446049250313e-16. The closed-form computeDirect is
// not used: it loses relative accuracy on nearly degenerate spectra.
//
// Input. Nine doubles stored column by column, element (r, c) at index 3*c + r. The
// matrix must be symmetric: the reduction reads its lower triangle only.
//
// Output.
//   values   ascending, values[0] <= values[1] <= values[2] (Eigen sorts them).
//   vectors  column by column like the input: column c (indices 3c, 3c+1, 3c+2) is the
//            unit eigenvector of values[c]. The signs are those Eigen returns; nothing
//            here flips or normalises them, so equal inputs give equal signs.
//   For the plane tensor [[a, b, 0], [b, -a, 0], [0, 0, 0]] with a^2 + b^2 > 0 the
//   eigenvalues are -r, 0, +r (r = sqrt(a^2 + b^2)) and column 1 is exactly +e_z = (0, 0, 1):
//   the z row and column are already split off, so no reflection or rotation touches
//   them, and sorting only moves that column into the middle. The zero matrix gives
//   values 0, 0, 0 and the identity.
//
// Failure.
//   A NaN or infinite entry anywhere in the nine: the solver is not run, and every value
//   and every vector entry is NaN (an iterative sweep over NaN cannot converge).
//   Finite input that Eigen reports as not converged (more than 90 QR sweeps, never seen
//   for finite symmetric input) is an internal fault: lodestra_core::Panic.
//
// Cost. Fixed-size storage only; no heap allocation.

#include <array>

namespace tarnel_manifolds {

struct SymEigen3 {
  std::array<double, 9> vectors;  // column c = unit eigenvector of values[c]
  std::array<double, 3> values;   // ascending
};

SymEigen3 sym3_eigen(const std::array<double, 9>& matrix);

// The same decomposition without eigenvectors (values ascending, NaN for non-finite input).
std::array<double, 3> sym3_eigenvalues(const std::array<double, 9>& matrix);

}  // namespace tarnel_manifolds
