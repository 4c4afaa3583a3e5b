// Time the 2D holonomy defect scan against its limit, measured in the same run:
//   scan_defects, 256 x 256  <=  1.5 x  256 * 256 symmetric 3x3 eigen-decompositions
// (eigenvectors requested) of the same field's tensors. The scan does one such
// decomposition per vertex; the rest of it (tensors, gauge fixes, loop products,
// records) may cost at most half as much again. The limit applies to a field like a
// simulation snapshot: smooth, with a handful of defects. A random field, where about
// a third of the plaquettes hold a defect and each needs its angle and the arctangents
// of its corners, is timed too as the worst case; its ratio is printed, not held to
// the limit.

#include <cmath>
#include <cstdio>
#include <vector>

#include "lodestra_fields/fields2d.hpp"
#include "lodestra_solver/defects_2d.hpp"
#include "tarnel_manifolds/eigen_sym3.hpp"
#include "timing.hpp"

using lodestra_fields::Count;
using lodestra_fields::QField2D;

namespace {

// Director angle theta = 0.3 + sum of +-atan2 / 2 over four cores, |Q| = 0.4.
QField2D smooth_field(Count n) {
  QField2D q = QField2D::zeros(n, n, 1.0);
  const double cores[4][3] = {
      {40.5, 60.5, 1}, {200.5, 30.5, -1}, {120.5, 180.5, 1}, {30.5, 220.5, -1}};
  for (Count i = 0; i < n; ++i) {
    for (Count j = 0; j < n; ++j) {
      double theta = 0.3;
      for (const auto& c : cores) theta += c[2] * 0.5 * std::atan2(j - c[1], i - c[0]);
      q.data[2 * (i * n + j)] = 0.4 * std::cos(2.0 * theta);
      q.data[2 * (i * n + j) + 1] = 0.4 * std::sin(2.0 * theta);
    }
  }
  return q;
}

struct Timing {
  double scan;
  double reference;
  std::size_t defects;
};

Timing time_field(const QField2D& q) {
  // Reference: one eigen-decomposition per vertex of the tensors the scan decomposes.
  const std::vector<std::array<double, 9>> tensors = q.to_q3d();
  Timing t{};
  t.reference = bench::best_seconds([&] {
    double sum = 0.0;
    for (const auto& m : tensors) sum += tarnel_manifolds::sym3_eigen(m).vectors[8];
    bench::keep(sum);
  });
  t.scan = bench::best_seconds([&] {
    const auto defects = lodestra_solver::scan_defects(q, lodestra_solver::kDefectThreshold);
    t.defects = defects.size();
    bench::keep(defects);
  });
  return t;
}

}  // namespace

int main() {
  const Count n = 256;
  const Timing smooth = time_field(smooth_field(n));
  std::printf("smooth field: %zu defects\n", smooth.defects);
  const bool ok =
      bench::report("scan_defects 256x256 vs eigen solves", smooth.scan, smooth.reference, 1.5);
  const Timing random = time_field(QField2D::random_perturbation(n, n, 1.0, 0.3, 42));
  std::printf(
      "random field: %zu defects (worst case, no limit): %.1f us, reference %.1f us, "
      "ratio %.3f\n",
      random.defects, random.scan * 1e6, random.reference * 1e6, random.scan / random.reference);
  return ok ? 0 : 1;
}
