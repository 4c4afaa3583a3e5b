#include "tarnel_manifolds/eigen_sym3.hpp"

#include <Eigen/Eigenvalues>
#include <cmath>
#include <limits>

#include "lodestra_core/panic.hpp"

namespace tarnel_manifolds {

namespace {

using Solver = Eigen::SelfAdjointEigenSolver<Eigen::Matrix3d>;

bool all_finite(const std::array<double, 9>& m) {
  for (double x : m) {
    if (!std::isfinite(x)) return false;
  }
  return true;
}

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

void check_converged(const Solver& solver) {
  if (solver.info() != Eigen::Success) {
    lodestra_core::panic("symmetric 3x3 eigen-decomposition did not converge");
  }
}

}  // namespace

SymEigen3 sym3_eigen(const std::array<double, 9>& matrix) {
  SymEigen3 out;
  if (!all_finite(matrix)) {
    out.values.fill(kNaN);
    out.vectors.fill(kNaN);
    return out;
  }
  Solver solver;
  solver.compute(Eigen::Map<const Eigen::Matrix3d>(matrix.data()), Eigen::ComputeEigenvectors);
  check_converged(solver);
  const Eigen::Vector3d& values = solver.eigenvalues();
  const Eigen::Matrix3d& vectors = solver.eigenvectors();
  for (int c = 0; c < 3; ++c) {
    out.values[c] = values(c);
    for (int r = 0; r < 3; ++r) out.vectors[3 * c + r] = vectors(r, c);
  }
  return out;
}

std::array<double, 3> sym3_eigenvalues(const std::array<double, 9>& matrix) {
  if (!all_finite(matrix)) return {kNaN, kNaN, kNaN};
  Solver solver;
  solver.compute(Eigen::Map<const Eigen::Matrix3d>(matrix.data()), Eigen::EigenvaluesOnly);
  check_converged(solver);
  const Eigen::Vector3d& values = solver.eigenvalues();
  return {values(0), values(1), values(2)};
}

}  // namespace tarnel_manifolds
