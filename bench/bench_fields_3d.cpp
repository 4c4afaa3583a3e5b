// 3D field operators at 64^3: the Laplacian against one copy of the Q field, the
// eigenvalue observables against as many eigenvalue-only solves of Eigen's iterative
// symmetric 3x3 solver on the same general traceless tensors.

#include <Eigen/Eigenvalues>
#include <array>
#include <cstdio>
#include <vector>

#include "lodestra_fields/fields3d.hpp"
#include "timing.hpp"

int main() {
  using lodestra_fields::QField3D;
  const std::uint64_t n = 64;
  const QField3D q = QField3D::random_perturbation(n, n, n, 1.0, 0.5, 1);

  std::vector<Eigen::Matrix3d> tensors(q.len());
  for (std::uint64_t k = 0; k < q.len(); ++k) {
    const double* r = q.record(k);
    tensors[k] << r[0], r[1], r[2], r[1], r[3], r[4], r[2], r[4], -(r[0] + r[3]);
  }
  const double solves = bench::best_seconds(
      [&] {
        double sum = 0.0;
        Eigen::SelfAdjointEigenSolver<Eigen::Matrix3d> solver;
        for (const Eigen::Matrix3d& m : tensors) {
          solver.compute(m, Eigen::EigenvaluesOnly);
          sum += solver.eigenvalues()(2);
        }
        bench::keep(sum);
      },
      5);
  const double copy_q = bench::best_seconds([&] { bench::keep(QField3D(q)); }, 50);
  std::printf("64^3: copy of the Q field %.1f us, %llu Eigen eigenvalue solves %.1f us\n",
              copy_q * 1e6, static_cast<unsigned long long>(q.len()), solves * 1e6);

  bool ok = true;
  ok &= bench::report("QField3D::laplacian",
                      bench::best_seconds([&] { bench::keep(q.laplacian()); }, 50), copy_q, 3.0);
  ok &= bench::report("QField3D::mean_s", bench::best_seconds([&] { bench::keep(q.mean_s()); }, 5),
                      solves, 1.3);
  ok &=
      bench::report("QField3D::scalar_order_s",
                    bench::best_seconds([&] { bench::keep(q.scalar_order_s()); }, 5), solves, 1.3);
  bench::report("QField3D::biaxiality_p (for information)",
                bench::best_seconds([&] { bench::keep(q.biaxiality_p()); }, 5), solves, 1.3);
  bench::report("QField3D::max_norm (for information)",
                bench::best_seconds([&] { bench::keep(q.max_norm()); }, 20), copy_q, 3.0);
  return ok ? 0 : 1;
}
