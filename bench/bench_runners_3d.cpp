// The 3D runners at 64^3, each figure against a limit measured in the same run:
//   dry runner step, no noise        <= 6 x one copy of the Q field
//   noise of one step                <= 1.2 x the libm calls it needs (per vertex
//                                       3 log, 3 sqrt, 3 cos, 2 sin)
//   BECH runner step, no noise       <= 1.5 x (3+3 + 2+1) complex 3D FFTs, FFTW_MEASURE
// and the peak memory of a 128^3 BECH run after 2 and after 20 steps, at most 15 x
// its Q field, each run in a child process of its own so that the peaks are its own.

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "lodestra_core/params3d.hpp"
#include "lodestra_fields/fields3d.hpp"
#include "lodestra_fields/random.hpp"
#include "lodestra_solver/fft.hpp"
#include "lodestra_solver/noise_3d.hpp"
#include "lodestra_solver/runner_3d.hpp"
#include "timing.hpp"

using lodestra_core::RidiParams3D;
using lodestra_fields::Count;
using lodestra_fields::QField3D;
using lodestra_fields::ScalarField3D;

namespace {

RidiParams3D bech_params(Count n) {
  RidiParams3D p = RidiParams3D::default_test();
  p.nx = p.ny = p.nz = n;
  p.noise_amp = 0.0;
  p.zeta_eff = 0.5;
  p.eta = 1.0;
  p.m_l = 0.5;
  p.a_ch = 0.5;
  p.b_ch = 1.0;
  p.chi_ms = 0.3;
  p.kappa_ch = 0.5;
  return p;
}

constexpr double kTwoPi = 6.283185307179586;

// The libm calls of the noise of one vertex, on uniforms prepared beforehand.
void libm_reference(const std::vector<double>& u, std::vector<double>& out) {
  for (std::size_t v = 0; v + 6 <= u.size(); v += 6) {
    const double* x = u.data() + v;
    double* o = out.data() + v;
    o[0] = std::sqrt(std::log(x[0]) * -2.0) * std::cos(x[1] * kTwoPi);
    o[1] = std::sqrt(std::log(x[2]) * -2.0) * std::sin(x[1] * kTwoPi);
    o[2] = std::sqrt(std::log(x[4]) * -2.0) * std::cos(x[3] * kTwoPi);
    o[3] = std::sin(x[3] * kTwoPi) + std::cos(x[5] * kTwoPi);
  }
  bench::keep(out);
}

long resident_kib(const char* field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(field, 0) == 0) return std::stol(line.substr(std::strlen(field)));
  }
  return -1;
}

// Peak resident memory a 128^3 BECH run of n_steps adds to its process, in
// units of its Q field, measured in a child of its own.
double bech_peak_in_q_fields(std::uint64_t n_steps) {
  constexpr Count n = 128;
  int pipe_fd[2];
  if (::pipe(pipe_fd) != 0) return -1.0;
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(pipe_fd[0]);
    const long before = resident_kib("VmRSS:");
    const RidiParams3D p = bech_params(n);
    const QField3D q = QField3D::random_perturbation(n, n, n, 1.0, 0.05, 3);
    const ScalarField3D phi = ScalarField3D::uniform(n, n, n, 1.0, 0.5);
    auto result = lodestra_solver::run_ridi_3d_full(q, phi, p, n_steps, 0, "", false);
    bench::keep(result);
    const double q_kib = static_cast<double>(q.data.size() * sizeof(double)) / 1024.0;
    const double ratio = static_cast<double>(resident_kib("VmHWM:") - before) / q_kib;
    if (::write(pipe_fd[1], &ratio, sizeof ratio) != sizeof ratio) ::_exit(1);
    ::_exit(0);
  }
  ::close(pipe_fd[1]);
  double ratio = -1.0;
  if (::read(pipe_fd[0], &ratio, sizeof ratio) != sizeof ratio) ratio = -1.0;
  ::close(pipe_fd[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  return ratio;
}

}  // namespace

int main() {
  constexpr Count n = 64;
  constexpr Count points = n * n * n;
  const RidiParams3D p = bech_params(n);
  const QField3D q = QField3D::random_perturbation(n, n, n, 1.0, 0.1, 42);
  const ScalarField3D phi = ScalarField3D::uniform(n, n, n, 1.0, 0.5);
  std::vector<double> copy(q.data.size());
  const auto copy_q = [&] {
    std::copy(q.data.begin(), q.data.end(), copy.begin());
    bench::keep(copy);
  };

  // One runner step: the difference of a long and a short run without snapshots,
  // per step, so that the copies and allocations of a run's start are not counted.
  constexpr std::uint64_t short_run = 2;
  constexpr std::uint64_t long_run = 8;
  const auto dry = [&](std::uint64_t steps) {
    return bench::best_seconds(
        [&] {
          auto r = lodestra_solver::run_ridi_3d(q, p, steps, 0, "", false);
          bench::keep(r);
        },
        2);
  };
  const auto bech = [&](std::uint64_t steps) {
    return bench::best_seconds(
        [&] {
          auto r = lodestra_solver::run_ridi_3d_full(q, phi, p, steps, 0, "", false);
          bench::keep(r);
        },
        1);
  };
  const auto per_step = [&](auto run) {
    return (run(long_run) - run(short_run)) / static_cast<double>(long_run - short_run);
  };
  QField3D noisy = q;
  const auto noise = [&] {
    lodestra_solver::add_noise_3d(noisy, 17, 1e-3);
    bench::keep(noisy);
  };
  std::vector<double> uniforms(6 * points);
  auto gen = lodestra_fields::Xoshiro256pp::seeded(5);
  for (double& x : uniforms) x = gen.uniform01() + 1e-300;
  std::vector<double> libm_out(uniforms.size());

  namespace fft = lodestra_solver::fft;
  const fft::ComplexPlan3D plan(n, n, n, fft::Planning::Measure);
  fft::ComplexBuffer a(points);
  fft::ComplexBuffer b(points);
  for (Count k = 0; k < points; ++k) a[k] = {q.data[5 * k], 0.0};
  const auto forward = [&] {
    plan.forward(a, b);
    bench::keep(b);
  };
  const auto inverse = [&] {
    plan.inverse(b, a);
    bench::keep(a);
  };

  // Measured in turn in every round, each at its best, so that a busy spell of the
  // machine does not fall on one of them only.
  double t_copy = 1e30, t_dry = 1e30, t_bech = 1e30, t_noise = 1e30, t_libm = 1e30;
  double t_fwd = 1e30, t_inv = 1e30;
  for (int round = 0; round < 3; ++round) {
    t_copy = std::min(t_copy, bench::best_seconds(copy_q, 10));
    t_dry = std::min(t_dry, per_step(dry));
    t_noise = std::min(t_noise, bench::best_seconds(noise, 3));
    t_libm = std::min(t_libm, bench::best_seconds([&] { libm_reference(uniforms, libm_out); }, 3));
    t_fwd = std::min(t_fwd, bench::best_seconds(forward, 5));
    t_inv = std::min(t_inv, bench::best_seconds(inverse, 5));
    t_bech = std::min(t_bech, per_step(bech));
  }
  const double ffts = (3.0 * t_fwd + 3.0 * t_inv) + (2.0 * t_fwd + t_inv);
  bool ok = bench::report("dry runner step 64^3 / Q copy", t_dry, t_copy, 6.0);
  ok = bench::report("noise of one step 64^3 / libm calls", t_noise, t_libm, 1.2) && ok;
  ok = bench::report("BECH runner step 64^3 / 9 complex FFTs", t_bech, ffts, 1.5) && ok;
  for (const std::uint64_t steps : {2, 20}) {
    const double peak = bech_peak_in_q_fields(steps);
    std::printf("%-44s %10.2f Q fields (at most 15) %s\n",
                ("BECH 128^3 peak memory, " + std::to_string(steps) + " steps").c_str(), peak,
                peak >= 0.0 && peak <= 15.0 ? "ok" : "OVER");
    ok = ok && peak >= 0.0 && peak <= 15.0;
  }
  return ok ? 0 : 1;
}
