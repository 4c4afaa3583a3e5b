#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <functional>
#include <limits>
#include <numbers>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "lodestra_core/panic.hpp"
#include "lodestra_fields/fields2d.hpp"
#include "lodestra_fields/fields3d.hpp"
#include "lodestra_fields/grid.hpp"
#include "lodestra_fields/random.hpp"
#include "lodestra_solver/defects_2d.hpp"
#include "tarnel_geo/events.hpp"
#include "tarnel_geo/lines.hpp"
#include "tarnel_geo/segments.hpp"
#include "tarnel_manifolds/eigen_sym3.hpp"

using lodestra_fields::Count;
using lodestra_fields::QField3D;
using tarnel_geo::DisclinationEvent;
using tarnel_geo::DisclinationEventKind;
using tarnel_geo::DisclinationLine;
using tarnel_geo::DisclinationSegment;
using tarnel_geo::disclination::events::track_disclination_events;
using tarnel_geo::disclination::lines::connect_disclination_lines;
using tarnel_geo::disclination::segments::scan_disclination_lines_3d;
using Vec3 = std::array<double, 3>;

namespace {

constexpr double kPi = std::numbers::pi;
using Director = std::function<Vec3(double, double, double)>;

// Q = S (n n - I/3) of a director field n(x, y, z) given in grid units.
QField3D from_director(Count nx, Count ny, Count nz, double dx, const Director& n, double s = 0.5) {
  QField3D q{nx, ny, nz, dx, std::vector<double>(5 * nx * ny * nz)};
  for (Count i = 0; i < nx; ++i) {
    for (Count j = 0; j < ny; ++j) {
      for (Count l = 0; l < nz; ++l) {
        const Vec3 d = n(static_cast<double>(i), static_cast<double>(j), static_cast<double>(l));
        double* r = q.data.data() + 5 * lodestra_fields::flat_index(i, j, l, ny, nz);
        r[0] = s * (d[0] * d[0] - 1.0 / 3.0);
        r[1] = s * d[0] * d[1];
        r[2] = s * d[0] * d[2];
        r[3] = s * (d[1] * d[1] - 1.0 / 3.0);
        r[4] = s * d[1] * d[2];
      }
    }
  }
  return q;
}

void add_noise(QField3D& q, double amplitude, std::uint64_t seed) {
  auto g = lodestra_fields::Xoshiro256pp::seeded(seed);
  for (double& x : q.data) x += amplitude * (2.0 * g.uniform01() - 1.0);
}

// Director angle 0.5 atan2(sin(2 pi (v - v0)/nv), sin(2 pi (u - u0)/nu)) in the (u, v)
// plane: periodic, with +-1/2 cores at u0 + {0, nu/2}, v0 + {0, nv/2}.
double four_core_angle(double u, double v, double nu, double nv, double u0, double v0) {
  return 0.5 * std::atan2(std::sin(2.0 * kPi * (v - v0) / nv), std::sin(2.0 * kPi * (u - u0) / nu));
}

// Solid angle of the circle of radius r about c in the plane z = c[2], seen from p
// (minimum-image relative position), summed over the fan triangles of its polygon.
double solid_angle(const Vec3& p, const Vec3& c, double r, const Vec3& box) {
  Vec3 a;
  for (int k = 0; k < 3; ++k) a[k] = c[k] - p[k] - box[k] * std::round((c[k] - p[k]) / box[k]);
  auto dot = [](const Vec3& x, const Vec3& y) { return x[0] * y[0] + x[1] * y[1] + x[2] * y[2]; };
  auto len = [&](const Vec3& x) { return std::sqrt(dot(x, x)); };
  const int m = 96;
  double total = 0.0;
  for (int k = 0; k < m; ++k) {
    const double t0 = 2.0 * kPi * k / m, t1 = 2.0 * kPi * (k + 1) / m;
    const Vec3 b{a[0] + r * std::cos(t0), a[1] + r * std::sin(t0), a[2]};
    const Vec3 e{a[0] + r * std::cos(t1), a[1] + r * std::sin(t1), a[2]};
    const Vec3 bxe{b[1] * e[2] - b[2] * e[1], b[2] * e[0] - b[0] * e[2], b[0] * e[1] - b[1] * e[0]};
    const double la = len(a), lb = len(b), le = len(e);
    total += 2.0 * std::atan2(dot(a, bxe),
                              la * lb * le + dot(a, b) * le + dot(a, e) * lb + dot(b, e) * la);
  }
  return total;
}

// A half-integer loop: the director turns about z by a quarter of the solid angle.
QField3D loop_field(Count n, const Vec3& centre, double radius) {
  const Vec3 box{double(n), double(n), double(n)};
  return from_director(n, n, n, 1.0, [&](double x, double y, double z) {
    const double w = 0.25 * solid_angle({x, y, z}, centre, radius, box);
    return Vec3{std::cos(w), std::sin(w), 0.0};
  });
}

std::vector<DisclinationLine> lines_of(const QField3D& q) {
  const auto segments = scan_disclination_lines_3d(q);
  return connect_disclination_lines(segments, q.nx, q.ny, q.nz, q.dx);
}

double max_curvature(const DisclinationLine& line) {
  return *std::max_element(line.curvatures.begin(), line.curvatures.end());
}

}  // namespace

// Four straight wedge lines along each axis: one closed line (they wrap the box) per
// core, with one vertex per grid layer, at the core's vertex, and no curvature. Along z
// they sit in the plaquettes where the 2D scan of one layer finds its defects.
class AxisLines : public ::testing::TestWithParam<int> {};

TEST_P(AxisLines, OneStraightLoopPerCore) {
  const int axis = GetParam();
  const Count sizes[3] = {12, 14, 16};
  const int u = (axis + 1) % 3, v = (axis + 2) % 3;
  const double nu = double(sizes[u]), nv = double(sizes[v]);
  const QField3D q =
      from_director(sizes[0], sizes[1], sizes[2], 0.5, [&](double x, double y, double z) {
        const double p[3] = {x, y, z};
        const double th = four_core_angle(p[u], p[v], nu, nv, 3.1, 3.2);
        Vec3 d{0.0, 0.0, 0.0};
        d[u] = std::cos(th);
        d[v] = std::sin(th);
        return d;
      });
  const auto lines = lines_of(q);
  ASSERT_EQ(lines.size(), 4u);
  std::set<std::pair<long, long>> cores;
  for (const auto& line : lines) {
    EXPECT_TRUE(line.is_loop);
    EXPECT_EQ(line.vertices.size(), sizes[axis]);
    EXPECT_LT(max_curvature(line), 1e-12);
    EXPECT_NEAR(line.length(), 0.5 * double(sizes[axis] - 1), 1e-12);
    cores.insert({std::lround(line.vertices[0][u] / 0.5), std::lround(line.vertices[0][v] / 0.5)});
  }
  const long hu = long(nu) / 2, hv = long(nv) / 2;
  EXPECT_EQ(cores,
            (std::set<std::pair<long, long>>{{3, 3}, {3 + hu, 3}, {3, 3 + hv}, {3 + hu, 3 + hv}}));
  if (axis == 2) {
    lodestra_fields::QField2D plane = lodestra_fields::QField2D::zeros(sizes[0], sizes[1], 0.5);
    for (Count i = 0; i < sizes[0]; ++i) {
      for (Count j = 0; j < sizes[1]; ++j) {
        const double th = four_core_angle(double(i), double(j), nu, nv, 3.1, 3.2);
        plane.data[2 * (i * sizes[1] + j)] = std::cos(2.0 * th);
        plane.data[2 * (i * sizes[1] + j) + 1] = std::sin(2.0 * th);
      }
    }
    std::set<std::pair<long, long>> found;
    for (const auto& d : lodestra_solver::scan_defects(plane, lodestra_solver::kDefectThreshold)) {
      found.insert({long(d.plaquette.first), long(d.plaquette.second)});
    }
    EXPECT_EQ(found, cores);
  }
}

INSTANTIATE_TEST_SUITE_P(EachAxis, AxisLines, ::testing::Values(0, 1, 2));

// Lines along the face diagonal (1, 1, 0) pierce one x and one y loop per layer: a
// closed staircase of 2n vertices that the smoothing straightens.
TEST(DiagonalLines, StaircaseBecomesStraightLoop) {
  const Count n = 12, nz = 10;
  const QField3D q = from_director(n, n, nz, 1.0, [&](double x, double y, double z) {
    const double th = four_core_angle(x - y, z, double(n), double(nz), 0.3, 2.2);
    return Vec3{std::cos(th) / std::sqrt(2.0), -std::cos(th) / std::sqrt(2.0), std::sin(th)};
  });
  const auto lines = lines_of(q);
  ASSERT_EQ(lines.size(), 4u);
  for (const auto& line : lines) {
    EXPECT_TRUE(line.is_loop);
    EXPECT_EQ(line.vertices.size(), 2 * n);
    EXPECT_LT(max_curvature(line), 1e-9);
  }
}

// A planar loop of radius R is one closed line of mean curvature near 1/R, also when it
// lies across the periodic seam (then its vertices stay continuous).
class Loops : public ::testing::TestWithParam<std::tuple<double, Vec3>> {};

TEST_P(Loops, OneClosedLoopOfCurvatureOneOverR) {
  const auto [radius, centre] = GetParam();
  const Count n = radius > 6 ? 32 : 24;
  const auto lines = lines_of(loop_field(n, centre, radius));
  ASSERT_EQ(lines.size(), 1u);
  const DisclinationLine& line = lines[0];
  EXPECT_TRUE(line.is_loop);
  const double ratio = line.mean_curvature() * radius;
  EXPECT_GE(ratio, 1.0);
  EXPECT_LE(ratio, 1.4);
  for (std::size_t k = 0; k + 1 < line.vertices.size(); ++k) {
    for (int a = 0; a < 3; ++a)
      EXPECT_LT(std::fabs(line.vertices[k + 1][a] - line.vertices[k][a]), 1.5);
  }
  // Smoothing pulls a loop slightly inside its circle; the closing step is not counted.
  EXPECT_GT(line.length(), 0.85 * 2.0 * kPi * radius);
  EXPECT_LT(line.length(), 2.0 * kPi * radius);
  RecordProperty("curvature_ratio", std::to_string(ratio));
}

INSTANTIATE_TEST_SUITE_P(RadiiAndSeam, Loops,
                         ::testing::Values(std::tuple{5.0, Vec3{12.3, 11.6, 12.2}},
                                           std::tuple{8.0, Vec3{16.3, 15.6, 16.2}},
                                           std::tuple{5.0, Vec3{0.4, 23.7, 5.3}}));

// Fields without disclinations give nothing, also with noise of 0.02 per component;
// noise adds nothing to a loop either.
TEST(NoLines, UniformOneDimensionalAndNoisyFields) {
  const Director fields[] = {
      [](double, double, double) {
        return Vec3{0.6, 0.0, 0.8};
      },
      [](double, double, double) -> Vec3 {
        return {0.0, 0.0, 1.0};
      },
      [](double, double, double z) {
        return Vec3{std::cos(kPi * z / 8.0), std::sin(kPi * z / 8.0), 0.0};
      },
      [](double x, double, double) {
        return Vec3{std::cos(kPi * x / 6.0), 0.0, std::sin(kPi * x / 6.0)};
      },
  };
  for (const auto& f : fields) {
    QField3D q = from_director(12, 10, 16, 1.0, f);
    EXPECT_TRUE(scan_disclination_lines_3d(q).empty());
    add_noise(q, 0.02, 7);
    EXPECT_TRUE(scan_disclination_lines_3d(q).empty());
  }
  QField3D loop = loop_field(24, {12.3, 11.6, 12.2}, 5.0);
  add_noise(loop, 0.02, 11);
  const auto lines = lines_of(loop);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(lines[0].is_loop);
}

// The scan against a slow reference that decomposes every face of every loop afresh
// and flips the sign of each director at random: the same segments, bit for bit, on a
// loop with noise, a dense random tangle and the smooth loop alone (where the scan clears
// most loops without decomposing their faces).
class SegmentScan : public ::testing::TestWithParam<int> {};

TEST_P(SegmentScan, IndependentOfEigenvectorSigns) {
  QField3D q = loop_field(16, {8.3, 7.6, 8.2}, 4.0);
  if (GetParam() == 0) add_noise(q, 0.05, 3);
  if (GetParam() == 1) q = QField3D::random_perturbation(16, 16, 16, 1.0, 0.3, 9);
  const Count nx = 16, ny = 16, nz = 16;
  auto g = lodestra_fields::Xoshiro256pp::seeded(5);
  auto director = [&](Count a[4][3]) {
    double m[5] = {0, 0, 0, 0, 0}, m33 = 0.0;
    const double* c[4];
    for (int k = 0; k < 4; ++k)
      c[k] = q.record(lodestra_fields::flat_index(a[k][0], a[k][1], a[k][2], ny, nz));
    for (int e = 0; e < 5; ++e) m[e] = (((c[0][e] + c[1][e]) + c[2][e]) + c[3][e]) * 0.25;
    m33 = (((-(c[0][0] + c[0][3]) - (c[1][0] + c[1][3])) - (c[2][0] + c[2][3])) -
           (c[3][0] + c[3][3])) *
          0.25;
    const auto eig =
        tarnel_manifolds::sym3_eigen({m[0], m[1], m[2], m[1], m[3], m[4], m[2], m[4], m33});
    const double s = (g.next() & 1) ? -1.0 : 1.0;
    return Vec3{s * eig.vectors[6], s * eig.vectors[7], s * eig.vectors[8]};
  };
  auto sign = [](const Vec3& a, const Vec3& b) {
    return (a[0] * b[0] + a[1] * b[1]) + a[2] * b[2] > 0 ? 1 : -1;
  };
  std::vector<std::tuple<Count, Count, int>> expected;
  for (Count i = 0; i < nx; ++i) {
    for (Count j = 0; j < ny; ++j) {
      for (Count l = 0; l < nz; ++l) {
        const Count v[3] = {i, j, l}, n[3] = {nx, ny, nz};
        for (int axis = 0; axis < 3; ++axis) {
          const int u = axis == 0 ? 1 : 0, w = axis == 2 ? 1 : 2;
          // Faces based at (u, w), (u, w-), (u-, w-), (u-, w) around V, corners in order
          // base, +w, +u+w, +u for x loops and base, +u, +u+w, +w for the others.
          const int du[4] = {0, 0, -1, -1}, dw[4] = {0, -1, -1, 0};
          Vec3 d[4];
          for (int k = 0; k < 4; ++k) {
            Count b[3] = {v[0], v[1], v[2]};
            b[u] = (b[u] + n[u] + du[k]) % n[u];
            b[w] = (b[w] + n[w] + dw[k]) % n[w];
            Count c[4][3];
            const int order[4][2] = {{0, 0}, {1, 0}, {1, 1}, {0, 1}};
            for (int m = 0; m < 4; ++m) {
              const int ou = axis == 0 ? order[m][1] : order[m][0];
              const int ow = axis == 0 ? order[m][0] : order[m][1];
              for (int e = 0; e < 3; ++e) c[m][e] = b[e];
              c[m][u] = (b[u] + ou) % n[u];
              c[m][w] = (b[w] + ow) % n[w];
            }
            d[k] = director(c);
          }
          if (sign(d[0], d[1]) * sign(d[1], d[2]) * sign(d[2], d[3]) * sign(d[3], d[0]) < 0) {
            expected.push_back({lodestra_fields::flat_index(i, j, l, ny, nz), 0, axis});
          }
        }
      }
    }
  }
  const auto segments = scan_disclination_lines_3d(q);
  ASSERT_EQ(segments.size(), expected.size());
  ASSERT_FALSE(segments.empty());
  for (std::size_t s = 0; s < segments.size(); ++s) {
    EXPECT_EQ(segments[s].from, std::get<0>(expected[s]));
    const auto v = lodestra_fields::split_index(segments[s].from, ny, nz);
    const int axis = std::get<2>(expected[s]);
    Count t[3] = {v.i, v.j, v.l};
    const Count n[3] = {nx, ny, nz};
    t[axis] = (t[axis] + 1) % n[axis];
    EXPECT_EQ(segments[s].to, lodestra_fields::flat_index(t[0], t[1], t[2], ny, nz));
    Vec3 mid{double(v.i), double(v.j), double(v.l)};
    mid[axis] += 0.5;
    EXPECT_EQ(segments[s].position, mid);
    EXPECT_EQ(segments[s].charge, tarnel_geo::DisclinationCharge::half_plus);
  }
}

INSTANTIATE_TEST_SUITE_P(Fields, SegmentScan, ::testing::Values(0, 1, 2));

// Degenerate grids: empty, size-1 and size-2 axes (neighbour cells counted once), and
// non-finite records, which no loop through them may pass.
TEST(DegenerateInput, EmptySmallAxesAndNonFinite) {
  EXPECT_TRUE(scan_disclination_lines_3d(QField3D{0, 4, 4, 1.0, {}}).empty());
  EXPECT_TRUE(connect_disclination_lines({}, 0, 0, 0, 1.0).empty());
  for (Count nz : {1u, 2u}) {
    const QField3D q = from_director(12, 12, nz, 1.0, [](double x, double y, double) {
      const double th = four_core_angle(x, y, 12.0, 12.0, 3.1, 3.2);
      return Vec3{std::cos(th), std::sin(th), 0.0};
    });
    const auto lines = lines_of(q);
    ASSERT_EQ(lines.size(), 4u);
    for (const auto& line : lines) {
      EXPECT_EQ(line.vertices.size(), nz);
      EXPECT_FALSE(line.is_loop);
    }
  }
  QField3D loop = loop_field(24, {12.3, 11.6, 12.2}, 5.0);
  const double inf = std::numeric_limits<double>::infinity();
  loop.data[5 * lodestra_fields::flat_index(1, 1, 1, 24, 24) + 2] = std::nan("");
  loop.data[5 * lodestra_fields::flat_index(20, 2, 3, 24, 24)] = inf;
  EXPECT_EQ(lines_of(loop).size(), 1u);
  std::fill(loop.data.begin(), loop.data.end(), std::nan(""));
  EXPECT_TRUE(scan_disclination_lines_3d(loop).empty());
  const DisclinationSegment outside{64, 65, {0, 0, 0}, tarnel_geo::DisclinationCharge::half_plus};
  EXPECT_THROW(connect_disclination_lines({&outside, 1}, 4, 4, 4, 1.0), lodestra_core::Panic);
}

// Hand-made segments: an isolated segment is a line of one vertex; an open row gives an
// open straight line; the Frenet frame of a bent polyline has known values.
TEST(Assembly, OpenRowsIsolatedSegmentsAndFrenetGeometry) {
  auto seg = [](Count i, Count j, Count l) {
    return DisclinationSegment{lodestra_fields::flat_index(i, j, l, 10, 10),
                               0,
                               {0, 0, 0},
                               tarnel_geo::DisclinationCharge::half_minus};
  };
  const std::vector<DisclinationSegment> row{seg(6, 3, 3), seg(2, 3, 3), seg(4, 3, 3),
                                             seg(5, 3, 3), seg(3, 3, 3), seg(8, 8, 8)};
  const auto lines = connect_disclination_lines(row, 10, 10, 10, 0.5);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_FALSE(lines[0].is_loop);
  EXPECT_EQ(lines[0].vertices.size(), 5u);
  EXPECT_DOUBLE_EQ(lines[0].length(), 2.0);
  EXPECT_EQ(lines[0].charge, tarnel_geo::DisclinationCharge::half_minus);
  for (double c : lines[0].curvatures) EXPECT_EQ(c, 0.0);
  EXPECT_EQ(lines[1].vertices, (std::vector<Vec3>{{4.0, 4.0, 4.0}}));
  EXPECT_EQ(lines[1].tangents, (std::vector<Vec3>{{1.0, 0.0, 0.0}}));

  DisclinationLine bent;
  bent.vertices = {{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {1, 1, 0}};
  tarnel_geo::disclination::lines::frenet_geometry(bent);
  const double r = 1.0 / std::sqrt(2.0);
  const std::vector<Vec3> tangents{{1, 0, 0}, {r, r, 0}, {0, 1, 0}, {0, 0, 0}};
  const double curv[4] = {std::sqrt(2.0 - std::sqrt(2.0)), 1.0, 1.0, 0.0};
  for (int k = 0; k < 4; ++k) {
    for (int a = 0; a < 3; ++a) EXPECT_NEAR(bent.tangents[k][a], tangents[k][a], 1e-15);
    EXPECT_NEAR(bent.curvatures[k], curv[k], 1e-15);
    EXPECT_EQ(bent.torsions[k], 0.0);
  }
  EXPECT_EQ(bent.length(), 2.0);
  EXPECT_EQ(tarnel_geo::charge_name(tarnel_geo::DisclinationCharge::anti), "anti");
}

namespace {

DisclinationLine at(double x, double y = 0.0) {
  DisclinationLine line;
  line.vertices = {{x - 1.0, y, 0.0}, {x + 1.0, y, 0.0}};
  return line;
}

std::vector<std::tuple<DisclinationEventKind, std::vector<std::uint64_t>, Vec3>> summary(
    const std::vector<DisclinationEvent>& events) {
  std::vector<std::tuple<DisclinationEventKind, std::vector<std::uint64_t>, Vec3>> out;
  for (const auto& e : events) {
    EXPECT_EQ(e.frame, 7u);
    out.push_back({e.kind, e.line_indices, e.position});
  }
  return out;
}

std::vector<DisclinationEvent> track(const std::vector<DisclinationLine>& previous,
                                     const std::vector<DisclinationLine>& current,
                                     std::uint64_t frame, double threshold) {
  return track_disclination_events(previous, current, frame, threshold);
}

}  // namespace

TEST(Events, MatchingRulesAndEdgeCases) {
  using K = DisclinationEventKind;
  using S = decltype(summary({}));
  const std::vector<DisclinationLine> three{at(0), at(10), at(20)};
  EXPECT_TRUE(track_disclination_events(three, three, 7, 1.0).empty());
  // threshold 0: nothing matches, creations first.
  EXPECT_EQ(summary(track({at(0)}, {at(0)}, 7, 0.0)),
            (S{{K::creation, {0}, {0, 0, 0}}, {K::annihilation, {0}, {0, 0, 0}}}));
  // Two lines on one centroid both match the lower one: a split and a merge.
  EXPECT_EQ(summary(track({at(0), at(0)}, {at(0), at(0)}, 7, 1.0)),
            (S{{K::reconnection, {0, 1}, {0, 0, 0}}, {K::reconnection, {0, 1}, {0, 0, 0}}}));
  // Split: one previous line near two current ones; the far one is an annihilation.
  EXPECT_EQ(summary(track({at(0), at(50)}, {at(-1), at(1.5)}, 7, 3.0)),
            (S{{K::annihilation, {1}, {50, 0, 0}}, {K::reconnection, {0, 1}, {0, 0, 0}}}));
  // Merge: two previous lines near one current line.
  EXPECT_EQ(summary(track({at(-1), at(1.5)}, {at(0)}, 7, 3.0)),
            (S{{K::reconnection, {0, 1}, {0, 0, 0}}}));
  // Equidistant candidates: the lower index is the match (a merge onto current 0 ...).
  EXPECT_EQ(summary(track({at(0)}, {at(-1), at(1)}, 7, 2.0)),
            (S{{K::reconnection, {0, 1}, {0, 0, 0}}}));
  EXPECT_EQ(summary(track({at(-1), at(1)}, {at(0)}, 7, 2.0)),
            (S{{K::reconnection, {0, 1}, {0, 0, 0}}}));
  // Empty sides.
  EXPECT_EQ(summary(track({}, {at(3, 4)}, 7, 1.0)), (S{{K::creation, {0}, {3, 4, 0}}}));
  EXPECT_EQ(summary(track({at(3)}, {}, 7, 1.0)), (S{{K::annihilation, {0}, {3, 0, 0}}}));
  EXPECT_TRUE(track({}, {}, 7, 1.0).empty());
  EXPECT_EQ(summary(track({at(0)}, {at(0)}, 7, std::nan(""))).size(), 2u);
  EXPECT_EQ(tarnel_geo::event_kind_name(K::reconnection), "reconnection");
}
