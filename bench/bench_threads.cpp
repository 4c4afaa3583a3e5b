// Threads: the speed-up of 2 threads over 1 on the same call, in one run, for
//   3D BECH step 128^3 (no noise, and with noise)         at least 1.7 x
//   3D dry step 128^3                                     at least 1.7 x
//     (the calls of one runner step, on buffers made once)
//   2D hydrodynamic runner step 512^2                     at least 1.6 x
//   DisclinationLine.scan of a relaxed 128^3 field        at least 1.8 x
//     (20 dry steps from amplitude 0.3; the segment scan and the line assembly)
// Other engineers' builds share this 2-core machine, so wall-clock time says little about
// two threads. The figure is taken from CPU times instead (loop timing, threads.hpp): at 1
// thread the calling thread's CPU time T1, of which L1 inside the parallel loops; at 2
// threads the calling thread's CPU time minus its time inside the loops plus, per loop,
// the CPU time of its longest part: the time with a core per thread (memory-bandwidth
// contention between the two threads shows up in their CPU times). The serial fraction is
// f = (T1 - L1) / T1, and Amdahl's law S(n) = 1 / (f + (1 - f) / n) predicts 16 and 64
// cores from it. The wall-clock speed-up is printed beside, as measured. Each figure is
// the best of several rounds, 1 and 2 threads alternating, and the results of the two
// counts are checked bit-identical.

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "lodestra_core/params.hpp"
#include "lodestra_core/params3d.hpp"
#include "lodestra_core/threads.hpp"
#include "lodestra_fields/fields2d.hpp"
#include "lodestra_fields/fields3d.hpp"
#include "lodestra_solver/beris_3d.hpp"
#include "lodestra_solver/ch_3d.hpp"
#include "lodestra_solver/drivers_2d.hpp"
#include "lodestra_solver/noise_3d.hpp"
#include "lodestra_solver/run_3d.hpp"
#include "lodestra_solver/runner_3d.hpp"
#include "lodestra_solver/stokes_3d.hpp"
#include "tarnel_geo/lines.hpp"
#include "tarnel_geo/segments.hpp"
#include "timing.hpp"

using lodestra_core::RidiParams;
using lodestra_core::RidiParams3D;
using lodestra_fields::Count;
using lodestra_fields::QField2D;
using lodestra_fields::QField3D;
using lodestra_fields::ScalarField3D;
using lodestra_fields::VelocityField3D;

namespace {

double wall_seconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

RidiParams3D bech_params(Count n, double noise) {
  RidiParams3D p = RidiParams3D::default_test();
  p.nx = p.ny = p.nz = n;
  p.noise_amp = noise;
  p.zeta_eff = 0.5;
  p.eta = 1.0;
  p.m_l = 0.5;
  p.a_ch = 0.5;
  p.b_ch = 1.0;
  p.chi_ms = 0.3;
  p.kappa_ch = 0.5;
  return p;
}

struct Sample {
  double cpu = 0.0;     // the calling thread's CPU time
  double caller = 0.0;  // ... of it inside parallel loops
  double longest = 0.0;
  double wall = 0.0;
  Sample operator-(const Sample& o) const {
    return {cpu - o.cpu, caller - o.caller, longest - o.longest, wall - o.wall};
  }
  Sample operator/(double d) const { return {cpu / d, caller / d, longest / d, wall / d}; }
  double with_a_core_each() const { return cpu - caller + longest; }
};

template <class F>
Sample sample_of(F&& f) {
  lodestra_core::reset_loop_times();
  const double c0 = bench::thread_seconds();
  const double w0 = wall_seconds();
  f();
  const double w1 = wall_seconds();
  const double c1 = bench::thread_seconds();
  const lodestra_core::LoopTimes loops = lodestra_core::loop_times();
  return {c1 - c0, loops.caller, loops.longest, w1 - w0};
}

struct Figure {
  const char* name;
  double limit;
  double one = std::numeric_limits<double>::infinity();  // T1
  double serial = 1.0;                                   // T1 - L1 at the best T1
  double two = std::numeric_limits<double>::infinity();  // with a core per thread
  double wall_one = std::numeric_limits<double>::infinity();
  double wall_two = std::numeric_limits<double>::infinity();
  bool same = true;
};

// run(steps, image) runs one figure's call with `steps` steps (ignored by a call without
// steps) and leaves a byte image of its result. For a step figure the per-step figures are
// differences of the best of a long and of a short run, so a run's start is not counted.
// Figures whose name contains this text (argv[1]), or all.
const char* only = nullptr;

template <class Run>
void measure(Figure& fig, int rounds, std::uint64_t short_steps, std::uint64_t long_steps,
             Run&& run) {
  if (only != nullptr && std::strstr(fig.name, only) == nullptr) return;
  lodestra_core::set_loop_timing(true);
  std::vector<unsigned char> first;
  // Per round: the samples of both lengths at both counts; the per-step figure of a
  // round is the difference of its long and short samples (taken side by side, in the same
  // conditions), and the figures are the best rounds (the median for the serial share).
  const bool steps = long_steps > short_steps;
  const double per = steps ? static_cast<double>(long_steps - short_steps) : 1.0;
  std::vector<double> one, two, wall_one, wall_two, serial;
  for (int r = 0; r < rounds; ++r) {
    Sample x[2][2];
    for (const std::size_t n : {1u, 2u}) {
      lodestra_core::set_num_threads(n);
      for (int len = steps ? 0 : 1; len < 2; ++len) {
        std::vector<unsigned char> image;
        x[n - 1][len] = sample_of([&] { run(len == 0 ? short_steps : long_steps, image); });
        if (len == 1) {
          if (first.empty()) first = image;
          fig.same = fig.same && image == first;
        }
      }
    }
    const Sample d1 = (x[0][1] - x[0][0]) / per;
    const Sample d2 = (x[1][1] - x[1][0]) / per;
    one.push_back(d1.cpu);
    serial.push_back((d1.cpu - d1.caller) / d1.cpu);
    two.push_back(d2.with_a_core_each());
    wall_one.push_back(d1.wall);
    wall_two.push_back(d2.wall);
    if (std::getenv("BENCH_DETAIL") != nullptr) {
      std::printf(
          "  round %d: 1 thread %.2f ms (%.2f in loops), 2 threads %.2f ms in loops "
          "(longest parts %.2f), outside %.2f\n",
          r, d1.cpu * 1e3, d1.caller * 1e3, d2.caller * 1e3, d2.longest * 1e3,
          (d2.cpu - d2.caller) * 1e3);
    }
  }
  auto lowest = [](std::vector<double> v) { return *std::min_element(v.begin(), v.end()); };
  std::sort(serial.begin(), serial.end());
  fig.one = lowest(one);
  fig.serial = std::max(0.0, serial[serial.size() / 2]) * fig.one;
  fig.two = lowest(two);
  fig.wall_one = lowest(wall_one);
  fig.wall_two = lowest(wall_two);
  lodestra_core::set_num_threads(1);
  lodestra_core::set_loop_timing(false);
}

// run(steps, image) times `steps` steps itself (a Sample) and leaves a byte image of the
// result; the figures are per step, the best of the rounds (the median serial share).
template <class Run>
void measure_direct(Figure& fig, int rounds, std::uint64_t steps, Run&& run) {
  if (only != nullptr && std::strstr(fig.name, only) == nullptr) return;
  lodestra_core::set_loop_timing(true);
  std::vector<unsigned char> first;
  std::vector<double> one, two, wall_one, wall_two, serial;
  for (int r = 0; r < rounds; ++r) {
    for (const std::size_t n : {1u, 2u}) {
      lodestra_core::set_num_threads(n);
      std::vector<unsigned char> image;
      const Sample x = run(steps, image) / static_cast<double>(steps);
      if (first.empty()) first = image;
      fig.same = fig.same && image == first;
      if (n == 1) {
        one.push_back(x.cpu);
        serial.push_back((x.cpu - x.caller) / x.cpu);
        wall_one.push_back(x.wall);
      } else {
        two.push_back(x.with_a_core_each());
        wall_two.push_back(x.wall);
      }
    }
  }
  auto lowest = [](const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); };
  std::sort(serial.begin(), serial.end());
  fig.one = lowest(one);
  fig.serial = std::max(0.0, serial[serial.size() / 2]) * fig.one;
  fig.two = lowest(two);
  fig.wall_one = lowest(wall_one);
  fig.wall_two = lowest(wall_two);
  lodestra_core::set_num_threads(1);
  lodestra_core::set_loop_timing(false);
}

template <class T>
void image_of(std::vector<unsigned char>& out, const std::vector<T>& v) {
  const auto* p = reinterpret_cast<const unsigned char*>(v.data());
  out.assign(p, p + v.size() * sizeof(T));
}

bool report(const Figure& f) {
  if (only != nullptr && std::strstr(f.name, only) == nullptr) return true;
  const double s = f.one / f.two;
  const double serial = std::max(0.0, f.serial / f.one);
  auto amdahl = [&](double n) { return 1.0 / (serial + (1.0 - serial) / n); };
  const bool ok = s >= f.limit && f.same;
  std::printf("%-38s 1 thread %8.1f ms  2 threads %8.1f ms  speed-up %5.2f (at least %.1f) %s%s\n",
              f.name, f.one * 1e3, f.two * 1e3, s, f.limit, ok ? "ok" : "UNDER",
              f.same ? "" : " RESULTS DIFFER");
  std::printf(
      "%-38s serial fraction %.3f: Amdahl predicts %.1f x on 16 cores, %.1f x on 64; "
      "wall clock %.1f / %.1f ms (%.2f x)\n",
      "", serial, amdahl(16.0), amdahl(64.0), f.wall_one * 1e3, f.wall_two * 1e3,
      f.wall_one / f.wall_two);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1) only = argv[1];
  constexpr Count n3 = 128;
  const QField3D q3 = QField3D::random_perturbation(n3, n3, n3, 1.0, 0.1, 42);
  const ScalarField3D phi3 = ScalarField3D::uniform(n3, n3, n3, 1.0, 0.5);

  // The 3D steps as the runners take them (runner_3d.cpp), on buffers made once: the
  // Stokes flow, the Euler update with flow, the noise, the Cahn-Hilliard step; the dry
  // step alone. `steps` steps per sample.
  struct Bech3D {
    QField3D q, q_next;
    ScalarField3D phi, phi_next;
    VelocityField3D u;
  };
  auto bech_steps = [&](const RidiParams3D& p, std::uint64_t steps,
                        std::vector<unsigned char>& image) {
    static Bech3D b;
    b.q = q3;
    b.q_next = q3;
    b.phi = phi3;
    b.phi_next = phi3;
    const double k = std::sqrt(p.dt) * p.noise_amp;
    const Sample x = sample_of([&] {
      for (std::uint64_t s = 0; s < steps; ++s) {
        lodestra_solver::stokes_solve_3d_into(b.q, p, b.u);
        lodestra_solver::flow_euler_step_3d(b.q, b.u, p, p.dt * static_cast<double>(s), p.dt,
                                            b.q_next);
        std::swap(b.q, b.q_next);
        if (p.noise_amp > 0.0) lodestra_solver::add_noise_3d(b.q, s ^ 0x5678, k);
        lodestra_solver::ch_step_etd_3d_into(b.phi, b.q, p, p.dt, b.phi_next);
        std::swap(b.phi, b.phi_next);
      }
    });
    image_of(image, b.q.data);
    return x;
  };
  Figure bech{"BECH step 128^3", 1.7};
  const RidiParams3D pb = bech_params(n3, 0.0);
  measure_direct(bech, 3, 3, [&](std::uint64_t steps, std::vector<unsigned char>& image) {
    return bech_steps(pb, steps, image);
  });
  Figure noisy{"BECH step 128^3, noise on", 1.7};
  const RidiParams3D pn = bech_params(n3, 0.01);
  measure_direct(noisy, 2, 3, [&](std::uint64_t steps, std::vector<unsigned char>& image) {
    return bech_steps(pn, steps, image);
  });
  Figure dry{"dry step 128^3", 1.7};
  measure_direct(dry, 3, 10, [&](std::uint64_t steps, std::vector<unsigned char>& image) {
    static QField3D q, next;
    q = q3;
    next = q3;
    const Sample x = sample_of([&] {
      for (std::uint64_t s = 0; s < steps; ++s) {
        lodestra_solver::dry_euler_step_3d(q, pb, pb.dt * static_cast<double>(s), pb.dt, next);
        std::swap(q, next);
      }
    });
    image_of(image, q.data);
    return x;
  });

  constexpr Count n2 = 512;
  RidiParams p2 = RidiParams::default_test();
  p2.nx = p2.ny = n2;
  const QField2D q2 = QField2D::random_perturbation(n2, n2, 1.0, 0.01, 1);
  Figure hydro{"hydrodynamic runner step 512^2", 1.6};
  // Both runs record step 0 only; their difference is 100 steps.
  measure(hydro, 3, 2, 102, [&](std::uint64_t steps, std::vector<unsigned char>& image) {
    auto [q, stats] = lodestra_solver::run_ridi_component1_hydro(q2, p2, steps, 1000);
    image_of(image, q.data);
  });

  RidiParams3D pd = RidiParams3D::default_test();
  pd.nx = pd.ny = pd.nz = n3;
  // 20 dry steps, through a run that writes no files.
  lodestra_solver::Run3D relax(lodestra_solver::start_run_3d(
      lodestra_solver::Model3D::dry, QField3D::random_perturbation(n3, n3, n3, 1.0, 0.3, 42),
      std::nullopt, pd, std::nullopt, false, std::nullopt));
  relax.advance(20, 0, lodestra_solver::RunControl{});
  const QField3D relaxed = relax.state().q;
  Figure scan{"DisclinationLine.scan 128^3 (relaxed)", 1.8};
  std::size_t n_lines = 0, n_segments = 0;
  measure(scan, 3, 0, 0, [&](std::uint64_t, std::vector<unsigned char>& image) {
    const auto segments = tarnel_geo::disclination::segments::scan_disclination_lines_3d(relaxed);
    const auto lines = tarnel_geo::disclination::lines::connect_disclination_lines(segments, n3, n3,
                                                                                   n3, relaxed.dx);
    n_segments = segments.size();
    n_lines = lines.size();
    image.clear();
    for (const auto& s : segments) {
      const auto* p = reinterpret_cast<const unsigned char*>(&s.from);
      image.insert(image.end(), p, p + 2 * sizeof(std::uint64_t));
    }
    for (const auto& line : lines) {
      const auto* p = reinterpret_cast<const unsigned char*>(line.curvatures.data());
      image.insert(image.end(), p, p + line.curvatures.size() * sizeof(double));
    }
  });
  std::printf("relaxed 128^3 field: %zu segments, %zu lines\n", n_segments, n_lines);

  bool ok = report(bech);
  ok = report(noisy) && ok;
  ok = report(dry) && ok;
  ok = report(hydro) && ok;
  ok = report(scan) && ok;
  return ok ? 0 : 1;
}
