// Time steps of the 2D drivers, each against a limit measured in the same run:
//   dry RK4 step, 256 x 256        <= 30   x one copy of the Q field
//   hydrodynamic step, 256 x 256   <= 1.6  x 2 forward + 2 inverse complex 2D FFTs
//   BECH step, 128 x 128, xi_l = 5 <= 1.15 x one K0 map
//   quick start, 5000 RK4 steps at 64 x 64, 51 records: under 1 s
//   512 x 512 hydrodynamic run: peak memory under 20 Q fields, flat in n_steps
// A step's time is (run(n) - run(0)) / n, so the copy of the initial field and
// the record at step 0 are not charged to it.

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

#include "lodestra_core/params.hpp"
#include "lodestra_fields/fields2d.hpp"
#include "lodestra_solver/ch_2d.hpp"
#include "lodestra_solver/drivers_2d.hpp"
#include "lodestra_solver/fft.hpp"
#include "timing.hpp"

using lodestra_core::RidiParams;
using lodestra_fields::QField2D;
using lodestra_fields::ScalarField2D;
using namespace lodestra_solver;

namespace {

RidiParams params_for(std::uint64_t n) {
  RidiParams p = RidiParams::default_test();
  p.nx = n;
  p.ny = n;
  return p;
}

struct StepTiming {
  double step;       // seconds per step
  double reference;  // seconds of the reference operation
};

// Seconds per step as (run(n) - run(0)) / n against one reference operation,
// the three measured in turn in every repeat and each taken at its best, so
// that a busy spell of the machine does not fall on one of them only.
template <class Run, class Reference>
StepTiming time_steps(Run&& run, std::uint64_t n_steps, Reference&& reference, int repeats) {
  double with_steps = std::numeric_limits<double>::infinity();
  double without = with_steps;
  double ref = with_steps;
  for (int r = 0; r < repeats; ++r) {
    ref = std::min(ref, bench::best_seconds(reference, 1));
    with_steps = std::min(with_steps, bench::best_seconds([&] { bench::keep(run(n_steps)); }, 1));
    without = std::min(without, bench::best_seconds([&] { bench::keep(run(0)); }, 1));
  }
  return {(with_steps - without) / static_cast<double>(n_steps), ref};
}

// Resident-set figures of this process, in bytes.
long status_kib(const char* key) {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(key, 0) == 0) return std::stol(line.substr(std::strlen(key) + 1));
  }
  return -1;
}

// Peak resident growth of one hydrodynamic run, measured in a fresh child so
// that no memory freed earlier by this process can hide it. The high-water mark
// is reset just before the run.
double hydro_peak_bytes(std::uint64_t n, std::uint64_t n_steps) {
  int fds[2];
  if (pipe(fds) != 0) return -1.0;
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    const RidiParams p = params_for(n);
    const QField2D q0 = QField2D::random_perturbation(n, n, 1.0, 0.001, 42);
    std::ofstream("/proc/self/clear_refs") << "5";
    const long base = status_kib("VmRSS:");
    const auto result = run_ridi_component1_hydro(q0, p, n_steps, n_steps);
    bench::keep(result);
    const double peak = 1024.0 * static_cast<double>(status_kib("VmHWM:") - base);
    if (write(fds[1], &peak, sizeof peak) != sizeof peak) _exit(1);
    _exit(0);
  }
  close(fds[1]);
  double peak = -1.0;
  if (read(fds[0], &peak, sizeof peak) != sizeof peak) peak = -1.0;
  close(fds[0]);
  waitpid(pid, nullptr, 0);
  return peak;
}

}  // namespace

int main() {
  bool ok = true;

  // Memory first, before this process has touched large buffers.
  {
    const double q_bytes = 512.0 * 512.0 * 2.0 * sizeof(double);
    const double peak_short = hydro_peak_bytes(512, 2) / q_bytes;
    const double peak_long = hydro_peak_bytes(512, 12) / q_bytes;
    const bool holds = peak_long > 0.0 && peak_long <= 20.0 && peak_long <= 1.05 * peak_short;
    std::printf("%-44s %6.2f Q fields after 2 steps, %6.2f after 12 (at most 20, flat) %s\n",
                "hydro run 512x512 peak memory", peak_short, peak_long, holds ? "ok" : "OVER");
    ok &= holds;
  }

  // Dry RK4 step against one copy of the Q field into existing storage.
  {
    const RidiParams p = params_for(256);
    const QField2D q0 = QField2D::random_perturbation(256, 256, 1.0, 0.1, 42);
    std::vector<double> copy(q0.data.size());
    const auto copy_q = [&] {
      // The reference copies 20 times per sample so that it is timed as finely as a step.
      for (int r = 0; r < 20; ++r) {
        std::copy(q0.data.begin(), q0.data.end(), copy.begin());
        bench::keep(copy);
      }
    };
    const StepTiming t = time_steps(
        [&](std::uint64_t n) { return run_ridi_component1(q0, p, n, n + 1); }, 100, copy_q, 7);
    ok &= bench::report("dry RK4 step 256x256 / Q copy", t.step, t.reference / 20.0, 30.0);
  }

  // BECH step against its K0 map.
  {
    RidiParams p = params_for(128);
    p.xi_l = 5.0;
    const QField2D q0 = QField2D::random_perturbation(128, 128, 1.0, 0.1, 42);
    const ScalarField2D phi0 = ScalarField2D::uniform(128, 128, 1.0, 0.3);
    const StepTiming t =
        time_steps([&](std::uint64_t n) { return run_ridi_bech(q0, phi0, p, n, n + 1); }, 6,
                   [&] { bench::keep(k0_convolution(q0, p)); }, 5);
    ok &= bench::report("BECH step 128x128 / K0 map", t.step, t.reference, 1.15);
  }

  // Hydrodynamic step against two forward and two inverse complex transforms.
  {
    const RidiParams p = params_for(256);
    const QField2D q0 = QField2D::random_perturbation(256, 256, 1.0, 0.1, 42);
    const fft::ComplexPlan2D plan(256, 256, fft::Planning::Measure);
    fft::ComplexBuffer a(256 * 256);
    fft::ComplexBuffer b(256 * 256);
    fft::ComplexBuffer c(256 * 256);
    for (std::size_t k = 0; k < a.size(); ++k) a[k] = {q0.data[2 * k], 0.0};
    const auto ffts = [&] {
      // The plans preserve their input, so every repeat starts from the same values.
      plan.forward(a, b);
      plan.forward(a, b);
      plan.inverse(b, c);
      plan.inverse(b, c);
      bench::keep(c);
    };
    const StepTiming t = time_steps(
        [&](std::uint64_t n) { return run_ridi_component1_hydro(q0, p, n, n + 1); }, 40, ffts, 7);
    ok &= bench::report("hydro step 256x256 / 4 complex FFTs", t.step, t.reference, 1.6);
  }

  // Quick start: the README's first run.
  {
    const RidiParams p = RidiParams::default_test();
    const QField2D q0 = QField2D::random_perturbation(64, 64, 1.0, 0.001, 42);
    std::size_t records = 0;
    const double t_run = bench::best_seconds(
        [&] {
          const auto result = run_ridi_component1(q0, p, 5000, 100);
          records = result.second.size();
        },
        3);
    std::printf("quick start: %zu records\n", records);
    ok &= records == 51;
    ok &= bench::report("quick start 5000 RK4 steps 64x64 / 1 s", t_run, 1.0, 1.0);
  }

  return ok ? 0 : 1;
}
