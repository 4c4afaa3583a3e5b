// Reference times for the Python-level benchmarks, measured by the engine on this
// machine so that bench_python.py can take its ratios in the same run. Prints one
// "name seconds" line per reference:
//   complex_2f2i_256   two forward and two inverse complex 256 x 256 FFTs, FFTW_MEASURE
//   complex_2f1i_256   two forward and one inverse complex 256 x 256 FFTs, FFTW_MEASURE
//   real_2f2i_64       the hydrodynamic step's own four transforms at 64 x 64 (two
//                      real-to-half-spectrum, two inverse; the library's ESTIMATE plans)
//   eigen_random_256   256 x 256 symmetric 3x3 eigen-decompositions (eigenvectors
//                      requested) of the tensors of QField2D.random_perturbation(256, 256,
//                      1.0, 0.3, 42), the field the scan benchmark uses
// Run as its own process: the measuring planner leaves wisdom behind, which must not
// reach the plans of the process whose results are being timed.

#include <array>
#include <cstdio>
#include <vector>

#include "lodestra_fields/fields2d.hpp"
#include "lodestra_solver/fft.hpp"
#include "tarnel_manifolds/eigen_sym3.hpp"
#include "timing.hpp"

namespace fft = lodestra_solver::fft;
using lodestra_fields::Count;

namespace {

double complex_ffts(Count n, int forwards, int inverses) {
  const fft::ComplexPlan2D plan(n, n, fft::Planning::Measure);
  fft::ComplexBuffer a(n * n);
  fft::ComplexBuffer b(n * n);
  fft::ComplexBuffer c(n * n);
  const auto q = lodestra_fields::QField2D::random_perturbation(n, n, 1.0, 0.5, 42);
  for (Count k = 0; k < n * n; ++k) a[k] = {q.data[2 * k], 0.0};
  return bench::best_seconds(
      [&] {
        // Inputs are preserved, so repeating from the same input keeps the values bounded.
        for (int f = 0; f < forwards; ++f) plan.forward(a, b);
        for (int i = 0; i < inverses; ++i) plan.inverse(b, c);
        bench::keep(c);
      },
      50);
}

double real_ffts(Count n) {
  const std::array<Count, 2> extents{n, n};
  const fft::RealForward forward(extents);
  const fft::RealInverse inverse(extents);
  const auto q = lodestra_fields::QField2D::random_perturbation(n, n, 1.0, 0.5, 42);
  fft::RealBuffer x(n * n);
  fft::RealBuffer y(n * n);
  for (Count k = 0; k < n * n; ++k) x[k] = q.data[2 * k];
  fft::ComplexBuffer s1(fft::half_spectrum_size(extents));
  fft::ComplexBuffer s2(fft::half_spectrum_size(extents));
  return bench::best_seconds(
      [&] {
        forward.execute(x, s1);
        forward.execute(x, s2);
        inverse.execute(s1, y);
        inverse.execute(s2, y);
        bench::keep(y);
      },
      200);
}

double eigen_solves(Count n) {
  const auto q = lodestra_fields::QField2D::random_perturbation(n, n, 1.0, 0.3, 42);
  const std::vector<std::array<double, 9>> tensors = q.to_q3d();
  return bench::best_seconds([&] {
    double sum = 0.0;
    for (const auto& m : tensors) sum += tarnel_manifolds::sym3_eigen(m).vectors[8];
    bench::keep(sum);
  });
}

}  // namespace

int main() {
  std::printf("complex_2f2i_256 %.9e\n", complex_ffts(256, 2, 2));
  std::printf("complex_2f1i_256 %.9e\n", complex_ffts(256, 2, 1));
  std::printf("real_2f2i_64 %.9e\n", real_ffts(64));
  std::printf("eigen_random_256 %.9e\n", eigen_solves(256));
  return 0;
}
