// Threads: the speed-up of 2 threads over 1 on the same call, measured in turn in one run
// (wall-clock time: the point is to use more than one core), for
//   3D BECH runner step 128^3 (no noise, and with noise)  at least 1.7 x
//   3D dry runner step 128^3                              at least 1.7 x
//   2D hydrodynamic runner step 512^2                     at least 1.6 x
//   DisclinationLine.scan of a relaxed 128^3 field        at least 1.8 x
//     (20 dry steps from amplitude 0.3; the segment scan and the line assembly)
// and for each the serial fraction f that Amdahl's law S(n) = 1 / (f + (1 - f) / n) gives
// for the measured S(2), with what it predicts for 16 and 64 cores. Other processes share
// the machine, so each time is the best of several rounds, 1 and 2 threads alternating.
// Every result is checked bit-identical between the two thread counts.

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "lodestra_core/params.hpp"
#include "lodestra_core/params3d.hpp"
#include "lodestra_core/threads.hpp"
#include "lodestra_fields/fields2d.hpp"
#include "lodestra_fields/fields3d.hpp"
#include "lodestra_solver/drivers_2d.hpp"
#include "lodestra_solver/runner_3d.hpp"
#include "tarnel_geo/lines.hpp"
#include "tarnel_geo/segments.hpp"
#include "timing.hpp"

using lodestra_core::RidiParams;
using lodestra_core::RidiParams3D;
using lodestra_fields::Count;
using lodestra_fields::QField2D;
using lodestra_fields::QField3D;
using lodestra_fields::ScalarField3D;

namespace {

double wall_seconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

template <class F>
double wall_of(F&& f) {
  const double start = wall_seconds();
  f();
  return wall_seconds() - start;
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

struct Figure {
  const char* name;
  double limit;
  double one = std::numeric_limits<double>::infinity();
  double two = std::numeric_limits<double>::infinity();
  bool same = true;
};

// time(threads) returns seconds and a byte image of the result.
template <class Time>
void measure(Figure& fig, int rounds, Time&& time) {
  std::vector<unsigned char> first;
  for (int r = 0; r < rounds; ++r) {
    for (const std::size_t n : {1u, 2u}) {
      lodestra_core::set_num_threads(n);
      std::vector<unsigned char> image;
      const double t = time(image);
      (n == 1 ? fig.one : fig.two) = std::min(n == 1 ? fig.one : fig.two, t);
      if (first.empty()) first = image;
      fig.same = fig.same && image == first;
    }
  }
  lodestra_core::set_num_threads(1);
}

template <class T>
void image_of(std::vector<unsigned char>& out, const std::vector<T>& v) {
  const auto* p = reinterpret_cast<const unsigned char*>(v.data());
  out.assign(p, p + v.size() * sizeof(T));
}

bool report(const Figure& f) {
  const double s = f.one / f.two;
  const double serial = std::max(0.0, 2.0 / s - 1.0);
  auto amdahl = [&](double n) { return 1.0 / (serial + (1.0 - serial) / n); };
  const bool ok = s >= f.limit && f.same;
  std::printf("%-40s 1 thread %9.1f ms  2 threads %9.1f ms  speed-up %5.2f (at least %.1f) %s%s\n",
              f.name, f.one * 1e3, f.two * 1e3, s, f.limit, ok ? "ok" : "UNDER",
              f.same ? "" : " RESULTS DIFFER");
  std::printf("%-40s serial fraction %.3f: Amdahl predicts %.1f x on 16 cores, %.1f x on 64\n", "",
              serial, amdahl(16.0), amdahl(64.0));
  return ok;
}

}  // namespace

int main() {
  constexpr Count n3 = 128;
  const QField3D q3 = QField3D::random_perturbation(n3, n3, n3, 1.0, 0.1, 42);
  const ScalarField3D phi3 = ScalarField3D::uniform(n3, n3, n3, 1.0, 0.5);

  // Per step: the difference of a run of 3 steps and one of 1, without snapshots.
  auto per_step_3d = [&](auto run) {
    return [run](std::vector<unsigned char>& image) {
      double t1 = 0.0, t3 = 0.0;
      t1 = wall_of([&] { run(1, image); });
      t3 = wall_of([&] { run(3, image); });
      return (t3 - t1) / 2.0;
    };
  };

  Figure bech{"BECH runner step 128^3", 1.7};
  const RidiParams3D pb = bech_params(n3, 0.0);
  measure(bech, 3, per_step_3d([&](std::uint64_t steps, std::vector<unsigned char>& image) {
            auto [q, phi, stats] = lodestra_solver::run_ridi_3d_full(q3, phi3, pb, steps, 0, "",
                                                                     false);
            image_of(image, q.data);
          }));
  Figure noisy{"BECH runner step 128^3, noise on", 1.7};
  const RidiParams3D pn = bech_params(n3, 0.01);
  measure(noisy, 2, per_step_3d([&](std::uint64_t steps, std::vector<unsigned char>& image) {
            auto [q, phi, stats] = lodestra_solver::run_ridi_3d_full(q3, phi3, pn, steps, 0, "",
                                                                     false);
            image_of(image, q.data);
          }));
  Figure dry{"dry runner step 128^3", 1.7};
  measure(dry, 3, per_step_3d([&](std::uint64_t steps, std::vector<unsigned char>& image) {
            auto [q, stats] = lodestra_solver::run_ridi_3d(q3, pb, steps, 0, "", false);
            image_of(image, q.data);
          }));

  constexpr Count n2 = 512;
  RidiParams p2 = RidiParams::default_test();
  p2.nx = p2.ny = n2;
  const QField2D q2 = QField2D::random_perturbation(n2, n2, 1.0, 0.01, 1);
  Figure hydro{"hydrodynamic runner step 512^2", 1.6};
  measure(hydro, 3, [&](std::vector<unsigned char>& image) {
    // Both runs record step 0 only; their difference is 10 steps.
    const double t2 = wall_of([&] { lodestra_solver::run_ridi_component1_hydro(q2, p2, 2, 100); });
    double t12 = 0.0;
    t12 = wall_of([&] {
      auto [q, stats] = lodestra_solver::run_ridi_component1_hydro(q2, p2, 12, 100);
      image_of(image, q.data);
    });
    return (t12 - t2) / 10.0;
  });

  RidiParams3D pd = RidiParams3D::default_test();
  pd.nx = pd.ny = pd.nz = n3;
  const QField3D relaxed =
      lodestra_solver::run_ridi_3d(QField3D::random_perturbation(n3, n3, n3, 1.0, 0.3, 42), pd,
                                   20, 0, "", false)
          .first;
  Figure scan{"DisclinationLine.scan 128^3 (relaxed)", 1.8};
  std::size_t n_lines = 0, n_segments = 0;
  measure(scan, 3, [&](std::vector<unsigned char>& image) {
    return wall_of([&] {
      const auto segments = tarnel_geo::disclination::segments::scan_disclination_lines_3d(relaxed);
      const auto lines = tarnel_geo::disclination::lines::connect_disclination_lines(
          segments, n3, n3, n3, relaxed.dx);
      n_segments = segments.size();
      n_lines = lines.size();
      image.clear();
      for (const auto& s : segments) {
        const auto* p = reinterpret_cast<const unsigned char*>(&s.from);
        image.insert(image.end(), p, p + 2 * sizeof(std::uint64_t));
      }
    });
  });
  std::printf("relaxed 128^3 field: %zu segments, %zu lines\n", n_segments, n_lines);

  bool ok = report(bech);
  ok = report(noisy) && ok;
  ok = report(dry) && ok;
  ok = report(hydro) && ok;
  ok = report(scan) && ok;
  return ok ? 0 : 1;
}
