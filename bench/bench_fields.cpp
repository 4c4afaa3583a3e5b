// 2D field operators against one copy of the same field, 512 x 512.

#include <cstdio>
#include <vector>

#include "lodestra_fields/fields2d.hpp"
#include "timing.hpp"

int main() {
  using lodestra_fields::QField2D;
  using lodestra_fields::ScalarField2D;
  const std::uint64_t n = 512;
  const QField2D q = QField2D::random_perturbation(n, n, 1.0, 0.5, 1);
  ScalarField2D phi = ScalarField2D::zeros(n, n, 1.0);
  for (std::size_t k = 0; k < phi.data.size(); ++k) phi.data[k] = q.data[2 * k];

  const double copy_q = bench::best_seconds([&] { bench::keep(QField2D(q)); }, 50);
  const double copy_phi = bench::best_seconds([&] { bench::keep(ScalarField2D(phi)); }, 50);
  std::printf("512 x 512: copy of the Q field %.1f us, of the scalar field %.1f us\n", copy_q * 1e6,
              copy_phi * 1e6);
  bool ok = true;
  ok &= bench::report("QField2D::laplacian",
                      bench::best_seconds([&] { bench::keep(q.laplacian()); }, 50), copy_q, 4.0);
  bench::report("ScalarField2D::laplacian (for information)",
                bench::best_seconds([&] { bench::keep(phi.laplacian()); }, 50), copy_phi, 4.0);
  bench::report("QField2D::add (for information)",
                bench::best_seconds([&] { bench::keep(q.add(q)); }, 50), copy_q, 4.0);
  return ok ? 0 : 1;
}
