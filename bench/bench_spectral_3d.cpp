// The 3D spectral steps and the snapshot writer at 64^3:
//   stokes_solve_3d     against three forward and three inverse complex 3D FFTW transforms,
//   ch_step_etd_3d      against two forward and one inverse,
// the transforms planned once with FFTW_MEASURE outside the timing; write_npy of a 64^3 Q
// field is reported with the time of one plain memory copy of the same bytes.

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "lodestra_core/params3d.hpp"
#include "lodestra_fields/fields3d.hpp"
#include "lodestra_solver/ch_3d.hpp"
#include "lodestra_solver/fft.hpp"
#include "lodestra_solver/snapshot.hpp"
#include "lodestra_solver/stokes_3d.hpp"
#include "timing.hpp"

int main() {
  constexpr lodestra_fields::Count n = 64;
  constexpr lodestra_fields::Count points = n * n * n;
  std::mt19937_64 gen(42);
  std::uniform_real_distribution<double> u(-0.5, 0.5);
  lodestra_fields::QField3D q{.nx = n, .ny = n, .nz = n, .dx = 1.0, .data = {}};
  q.data.resize(5 * points);
  for (double& x : q.data) x = u(gen);
  lodestra_fields::ScalarField3D phi{.nx = n, .ny = n, .nz = n, .dx = 1.0, .data = {}};
  phi.data.resize(points);
  for (double& x : phi.data) x = 0.2 + u(gen);
  lodestra_core::RidiParams3D p{};
  p.zeta_eff = 1.0;
  p.eta = 1.0;
  p.m_l = 0.5;
  p.a_ch = 0.5;
  p.b_ch = 1.0;
  p.chi_ms = 0.3;
  p.kappa_ch = 0.5;
  const double dt = 0.01;

  const lodestra_fields::VelocityField3D before = lodestra_solver::stokes_solve_3d(q, p).first;
  const lodestra_fields::ScalarField3D phi_before = lodestra_solver::ch_step_etd_3d(phi, q, p, dt);

  namespace fft = lodestra_solver::fft;
  const fft::ComplexPlan3D plan(n, n, n, fft::Planning::Measure);
  fft::ComplexBuffer a(points);
  fft::ComplexBuffer b(points);
  fft::ComplexBuffer c(points);
  for (lodestra_fields::Count k = 0; k < points; ++k) a[k] = {q.data[5 * k], 0.0};
  const double one_forward = bench::best_seconds([&] {
    plan.forward(a, b);
    bench::keep(b);
  });
  const double one_inverse = bench::best_seconds([&] {
    plan.inverse(b, c);
    bench::keep(c);
  });

  lodestra_fields::VelocityField3D vel;
  const double stokes = bench::best_seconds([&] {
    lodestra_solver::stokes_solve_3d_into(q, p, vel);
    bench::keep(vel);
  });
  std::pair<lodestra_fields::VelocityField3D, lodestra_fields::PressureField3D> pair;
  const double stokes_value = bench::best_seconds([&] {
    pair = lodestra_solver::stokes_solve_3d(q, p);
    bench::keep(pair);
  });
  lodestra_fields::ScalarField3D next;
  const double ch = bench::best_seconds([&] {
    lodestra_solver::ch_step_etd_3d_into(phi, q, p, dt, next);
    bench::keep(next);
  });

  // The snapshot writer, against one copy of the same bytes in memory (informative; the
  // limit is numpy.save of the same array, measured by the Python benchmarks).
  const std::string path = "/tmp/lodestra-bench-q-" + std::to_string(::getpid()) + ".npy";
  const double npy = bench::best_seconds(
      [&] {
        auto r = lodestra_solver::write_npy(path, q.data, 5, n, n, n);
        bench::keep(r);
      },
      10);
  std::vector<double> copy(q.data.size());
  const double memcpy_time = bench::best_seconds([&] {
    std::memcpy(copy.data(), q.data.data(), q.data.size() * sizeof(double));
    bench::keep(copy);
  });
  ::unlink(path.c_str());

  const bool same =
      std::memcmp(before.data.data(), vel.data.data(), vel.data.size() * 8) == 0 &&
      std::memcmp(before.data.data(), pair.first.data.data(), vel.data.size() * 8) == 0 &&
      std::memcmp(phi_before.data.data(), next.data.data(), next.data.size() * 8) == 0;
  std::printf("results bit-identical across calls: %s\n", same ? "yes" : "NO");
  const double ref_stokes = 3.0 * one_forward + 3.0 * one_inverse;
  const double ref_ch = 2.0 * one_forward + one_inverse;
  bool ok =
      bench::report("stokes_solve_3d_into 64^3 (vs 3+3 complex FFTs)", stokes, ref_stokes, 1.25);
  ok =
      bench::report("stokes_solve_3d 64^3 (vs 3+3 complex FFTs)", stokes_value, ref_stokes, 1.25) &&
      ok;
  ok = bench::report("ch_step_etd_3d_into 64^3 (vs 2+1 complex FFTs)", ch, ref_ch, 1.3) && ok;
  std::printf("%-44s %10.1f us  one memcpy %10.1f us  ratio %6.3f (informative)\n",
              "write_npy 64^3 x 5", npy * 1e6, memcpy_time * 1e6, npy / memcpy_time);
  return ok && same ? 0 : 1;
}
