// Time the 3D disclination pipeline against limits measured in the same run:
//   segment scan, 64^3            <= 1.5  x  3 * 64^3 Eigen SelfAdjointEigenSolver<Matrix3d>
//                                            solves (eigenvectors) of the scan's face tensors
//   line assembly + event tracking <= 0.25 x  the scan, on the lines of a turbulent field
//   DisclinationLine.scan (segment scan and line assembly) of a relaxed field, 20 dry
//   steps from amplitude 0.3 at 64^3   <= 1.5 x 3 * 64^3 eigen solves of its face tensors
// The scan decomposes each of the three faces based at a vertex once; the loops, link
// signs and records may add at most half as much again. The turbulent field is a random
// director field smoothed by a few diffusion passes of Q: hundreds of tangled lines.

#include <Eigen/Eigenvalues>
#include <array>
#include <cmath>
#include <cstdio>
#include <vector>

#include "lodestra_fields/fields3d.hpp"
#include "lodestra_fields/grid.hpp"
#include "lodestra_fields/random.hpp"
#include "lodestra_solver/runner_3d.hpp"
#include "tarnel_geo/events.hpp"
#include "tarnel_geo/lines.hpp"
#include "tarnel_geo/segments.hpp"
#include "timing.hpp"

using lodestra_fields::Count;
using lodestra_fields::QField3D;

namespace {

// Random unit directors, Q = 0.5 (n n - I/3), then `passes` passes of
// Q <- Q + 0.1 * (sum of the six neighbours - 6 Q).
QField3D turbulent_field(Count n, int passes, std::uint64_t seed) {
  QField3D q{n, n, n, 1.0, std::vector<double>(5 * n * n * n)};
  auto g = lodestra_fields::Xoshiro256pp::seeded(seed);
  for (Count k = 0; k < n * n * n; ++k) {
    double d[3];
    double len = 0.0;
    do {
      for (double& x : d) x = 2.0 * g.uniform01() - 1.0;
      len = std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]);
    } while (len < 1e-3 || len > 1.0);
    for (double& x : d) x /= len;
    double* r = q.data.data() + 5 * k;
    r[0] = 0.5 * (d[0] * d[0] - 1.0 / 3.0);
    r[1] = 0.5 * d[0] * d[1];
    r[2] = 0.5 * d[0] * d[2];
    r[3] = 0.5 * (d[1] * d[1] - 1.0 / 3.0);
    r[4] = 0.5 * d[1] * d[2];
  }
  for (int p = 0; p < passes; ++p) {
    std::vector<double> out(q.data.size());
    lodestra_fields::for_each_stencil_3d(n, n, n, [&](const lodestra_fields::Stencil3& s) {
      for (int c = 0; c < 5; ++c) {
        const double sum = q.data[5 * s.xp + c] + q.data[5 * s.xm + c] + q.data[5 * s.yp + c] +
                           q.data[5 * s.ym + c] + q.data[5 * s.zp + c] + q.data[5 * s.zm + c];
        out[5 * s.k + c] = q.data[5 * s.k + c] + 0.1 * (sum - 6.0 * q.data[5 * s.k + c]);
      }
    });
    q.data.swap(out);
  }
  return q;
}

// The three face-mean tensors based at every vertex (x, y and z faces).
std::vector<Eigen::Matrix3d> face_tensors(const QField3D& q) {
  std::vector<Eigen::Matrix3d> out;
  out.reserve(3 * q.len());
  const Count n = q.nx;
  auto rec = [&](Count i, Count j, Count l) {
    return q.record(lodestra_fields::flat_index(i % n, j % n, l % n, n, n));
  };
  for (Count i = 0; i < n; ++i) {
    for (Count j = 0; j < n; ++j) {
      for (Count l = 0; l < n; ++l) {
        const double* faces[3][4] = {
            {rec(i, j, l), rec(i, j, l + 1), rec(i, j + 1, l + 1), rec(i, j + 1, l)},
            {rec(i, j, l), rec(i + 1, j, l), rec(i + 1, j, l + 1), rec(i, j, l + 1)},
            {rec(i, j, l), rec(i, j + 1, l), rec(i + 1, j + 1, l), rec(i + 1, j, l)}};
        for (const auto& f : faces) {
          double m[5];
          for (int e = 0; e < 5; ++e) m[e] = (((f[0][e] + f[1][e]) + f[2][e]) + f[3][e]) * 0.25;
          Eigen::Matrix3d t;
          t << m[0], m[1], m[2], m[1], m[3], m[4], m[2], m[4], -(m[0] + m[3]);
          out.push_back(t);
        }
      }
    }
  }
  return out;
}

}  // namespace

int main() {
  const Count n = 64;
  const QField3D q = turbulent_field(n, 6, 42);
  const QField3D q_next = turbulent_field(n, 7, 42);
  const std::vector<Eigen::Matrix3d> tensors = face_tensors(q);

  const double reference = bench::best_seconds(
      [&] {
        Eigen::SelfAdjointEigenSolver<Eigen::Matrix3d> solver;
        double sum = 0.0;
        for (const auto& t : tensors) {
          solver.compute(t, Eigen::ComputeEigenvectors);
          sum += solver.eigenvectors()(0, 2);
        }
        bench::keep(sum);
      },
      5);
  std::vector<tarnel_geo::DisclinationSegment> segments, segments_next;
  const double scan = bench::best_seconds(
      [&] {
        segments = tarnel_geo::disclination::segments::scan_disclination_lines_3d(q);
        bench::keep(segments);
      },
      5);
  segments_next = tarnel_geo::disclination::segments::scan_disclination_lines_3d(q_next);
  std::vector<tarnel_geo::DisclinationLine> lines, lines_next;
  std::size_t events = 0;
  // Per snapshot a runner assembles the new lines and tracks them against the kept ones.
  lines = tarnel_geo::disclination::lines::connect_disclination_lines(segments, n, n, n, 1.0);
  const double assemble = bench::best_seconds(
      [&] {
        using tarnel_geo::disclination::lines::connect_disclination_lines;
        lines_next = connect_disclination_lines(segments_next, n, n, n, 1.0);
        events =
            tarnel_geo::disclination::events::track_disclination_events(lines, lines_next, 1, 2.0)
                .size();
        bench::keep(events);
      },
      5);
  std::printf("turbulent 64^3: %zu segments, %zu lines, %zu events against the next field\n",
              segments.size(), lines.size(), events);
  lodestra_core::RidiParams3D p = lodestra_core::RidiParams3D::default_test();
  p.nx = p.ny = p.nz = n;
  const QField3D relaxed =
      lodestra_solver::run_ridi_3d(QField3D::random_perturbation(n, n, n, 1.0, 0.3, 42), p, 20, 0,
                                   "", false)
          .first;
  const std::vector<Eigen::Matrix3d> relaxed_tensors = face_tensors(relaxed);
  const double relaxed_reference = bench::best_seconds(
      [&] {
        Eigen::SelfAdjointEigenSolver<Eigen::Matrix3d> solver;
        double sum = 0.0;
        for (const auto& t : relaxed_tensors) {
          solver.compute(t, Eigen::ComputeEigenvectors);
          sum += solver.eigenvectors()(0, 2);
        }
        bench::keep(sum);
      },
      5);
  std::size_t relaxed_lines = 0;
  const double line_scan = bench::best_seconds(
      [&] {
        const auto found = tarnel_geo::disclination::lines::connect_disclination_lines(
            tarnel_geo::disclination::segments::scan_disclination_lines_3d(relaxed), n, n, n, 1.0);
        relaxed_lines = found.size();
        bench::keep(found);
      },
      5);
  std::printf("relaxed 64^3: %zu lines\n", relaxed_lines);
  bool ok = bench::report("segment scan 64^3 vs 3*64^3 eigen solves", scan, reference, 1.5);
  ok = bench::report("line scan, relaxed 64^3, vs its eigen solves", line_scan, relaxed_reference,
                     1.5) &&
       ok;
  ok = bench::report("assembly + tracking vs segment scan", assemble, scan, 0.25) && ok;
  return ok ? 0 : 1;
}
