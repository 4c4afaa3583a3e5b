#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <numbers>
#include <utility>
#include <vector>

#include "lodestra_core/panic.hpp"
#include "lodestra_fields/fields2d.hpp"
#include "lodestra_solver/defects_2d.hpp"
#include "tarnel_geo/holonomy.hpp"
#include "tarnel_manifolds/frame_field.hpp"

using lodestra_fields::Count;
using lodestra_fields::QField2D;
using lodestra_solver::DefectInfo;
using lodestra_solver::kDefectThreshold;
using lodestra_solver::scan_defects;

namespace {

constexpr double kPi = std::numbers::pi;
using Plaquette = std::pair<std::uint64_t, std::uint64_t>;

// Q field of a director at angle theta(x = i, y = j) with order |Q| = s:
// q1 = s cos 2theta, q2 = s sin 2theta.
QField2D director_field(Count nx, Count ny, const std::function<double(double, double)>& theta,
                        double s = 0.5) {
  QField2D q = QField2D::zeros(nx, ny, 1.0);
  for (Count i = 0; i < nx; ++i) {
    for (Count j = 0; j < ny; ++j) {
      const double t = theta(static_cast<double>(i), static_cast<double>(j));
      q.data[2 * (i * ny + j)] = s * std::cos(2.0 * t);
      q.data[2 * (i * ny + j) + 1] = s * std::sin(2.0 * t);
    }
  }
  return q;
}

// Director angle of a defect of charge sign/2 with its core at (x0, y0).
double defect_angle(double x, double y, double x0, double y0, double sign) {
  return sign * 0.5 * std::atan2(y - y0, x - x0);
}

}  // namespace

TEST(ScanDefects, SingleHalfDefectsAreFoundWithTheirSign) {
  const Count nx = 13, ny = 10;
  for (double sign : {1.0, -1.0}) {
    for (double phase : {0.0, 0.4, kPi / 4.0, 1.3, -2.9}) {
      for (Plaquette core : {Plaquette{5, 4}, {0, 0}, {11, 8}, {2, 7}, {9, 1}}) {
        const double x0 = core.first + 0.5, y0 = core.second + 0.5;
        const QField2D q = director_field(
            nx, ny, [&](double x, double y) { return defect_angle(x, y, x0, y0, sign) + phase; });
        const std::vector<DefectInfo> found = scan_defects(q, kDefectThreshold);
        ASSERT_EQ(found.size(), 1u)
            << sign << " " << phase << " " << core.first << "," << core.second;
        EXPECT_EQ(found[0].plaquette, core);
        EXPECT_NEAR(found[0].angle, kPi, 1e-6);
        EXPECT_EQ(found[0].charge_sign, sign > 0 ? 1 : -1);
      }
    }
  }
}

TEST(ScanDefects, OppositePairCountsOnePlusAndOneMinus) {
  const Count nx = 24, ny = 20;
  for (auto [plus, minus] : {std::pair{Plaquette{5, 6}, Plaquette{16, 12}},
                             {Plaquette{14, 3}, Plaquette{4, 15}},
                             {Plaquette{8, 9}, Plaquette{12, 9}}}) {
    const QField2D q = director_field(nx, ny, [&](double x, double y) {
      return defect_angle(x, y, plus.first + 0.5, plus.second + 0.5, 1.0) +
             defect_angle(x, y, minus.first + 0.5, minus.second + 0.5, -1.0) + 0.25;
    });
    const std::vector<DefectInfo> found = scan_defects(q, kDefectThreshold);
    ASSERT_EQ(found.size(), 2u);
    int plus_count = 0, minus_count = 0;
    for (const DefectInfo& d : found) {
      if (d.charge_sign > 0) {
        ++plus_count;
        EXPECT_EQ(d.plaquette, plus);
      } else {
        ++minus_count;
        EXPECT_EQ(d.plaquette, minus);
      }
    }
    EXPECT_EQ(plus_count, 1);
    EXPECT_EQ(minus_count, 1);
    EXPECT_LT(found[0].plaquette, found[1].plaquette);  // scan order
  }
}

TEST(ScanDefects, MirrorImageFlipsEveryChargeAndKeepsThePlaquettes) {
  // Reflecting y -> -y maps theta to -theta, i.e. (q1, q2) -> (q1, -q2): the same
  // cores with opposite charges. On a random field this exercises many defects at once.
  for (std::uint64_t seed : {1u, 2u, 3u}) {
    const QField2D q = QField2D::random_perturbation(40, 33, 1.0, 0.2, seed);
    QField2D mirror = q;
    for (Count k = 0; k < q.len(); ++k) mirror.data[2 * k + 1] = -q.data[2 * k + 1];
    const auto found = scan_defects(q, kDefectThreshold);
    const auto mirrored = scan_defects(mirror, kDefectThreshold);
    ASSERT_GT(found.size(), 10u);
    ASSERT_EQ(found.size(), mirrored.size());
    int total = 0;
    for (std::size_t n = 0; n < found.size(); ++n) {
      EXPECT_EQ(found[n].plaquette, mirrored[n].plaquette);
      EXPECT_EQ(found[n].charge_sign, -mirrored[n].charge_sign);
      EXPECT_NEAR(found[n].angle, kPi, 1e-6);  // director turns are 0 or +-pi per plaquette
      total += found[n].charge_sign;
    }
    // Both signs occur, roughly balanced.
    EXPECT_LT(std::abs(total), static_cast<int>(found.size()));
  }
}

TEST(ScanDefects, ThresholdDefaultAndLimits) {
  EXPECT_EQ(kDefectThreshold, kPi / 2.0);
  const QField2D q = director_field(
      9, 8, [](double x, double y) { return defect_angle(x, y, 4.5, 3.5, -1.0) + 0.2; });
  EXPECT_TRUE(scan_defects(q, kPi).empty());
  const auto all = scan_defects(q, -1.0);
  ASSERT_EQ(all.size(), 8u * 7u);
  EXPECT_EQ(all[1].plaquette, Plaquette(0, 1));
  EXPECT_EQ(all[7].plaquette, Plaquette(1, 0));
  const auto at_default = scan_defects(q, 1.5707963267948966);
  ASSERT_EQ(at_default.size(), 1u);
  EXPECT_EQ(at_default[0].plaquette, Plaquette(4, 3));
  EXPECT_EQ(at_default[0].charge_sign, -1);
}

TEST(ScanDefects, UniformAndDegenerateGridsReturnWithoutCrash) {
  for (auto [nx, ny] : {std::pair<Count, Count>{0, 0},
                        {0, 7},
                        {7, 0},
                        {1, 1},
                        {1, 9},
                        {9, 1},
                        {2, 2},
                        {2, 5},
                        {3, 3}}) {
    const QField2D uniform = QField2D::uniform(nx, ny, {0.3, -0.1}, 1.0);
    EXPECT_TRUE(scan_defects(uniform, kDefectThreshold).empty()) << nx << "x" << ny;
    const QField2D zero = QField2D::zeros(nx, ny, 1.0);
    EXPECT_TRUE(scan_defects(zero, 0.0).empty());
    const std::uint64_t plaquettes = nx < 2 || ny < 2 ? 0 : (nx - 1) * (ny - 1);
    EXPECT_EQ(scan_defects(QField2D::random_perturbation(nx, ny, 1.0, 0.3, 5), -1.0).size(),
              plaquettes);
  }
  // An empty grid with a huge ny holds no plaquette: nothing may be sized by ny.
  const QField2D empty_rows{0, Count{1} << 60, 1.0, {}};
  EXPECT_TRUE(scan_defects(empty_rows, -1.0).empty());
}

TEST(ScanDefects, NonFiniteComponentsAreNeverDefects) {
  constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
  constexpr double kInf = std::numeric_limits<double>::infinity();
  for (auto [nx, ny] : {std::pair<Count, Count>{0, 4}, {1, 4}, {2, 2}, {6, 5}}) {
    QField2D nan_field = QField2D::uniform(nx, ny, {kNaN, kNaN}, 1.0);
    EXPECT_TRUE(scan_defects(nan_field, -1.0).empty());
  }
  // One bad vertex in a defect field: the plaquettes touching it drop out, the
  // defect elsewhere is still found with its sign.
  for (double bad : {kNaN, kInf, -kInf}) {
    QField2D q =
        director_field(10, 9, [](double x, double y) { return defect_angle(x, y, 6.5, 5.5, 1.0); });
    q.data[2 * (2 * 9 + 2)] = bad;
    const auto all = scan_defects(q, -1.0);
    EXPECT_EQ(all.size(), 9u * 8u - 4u);
    for (const DefectInfo& d : all) {
      EXPECT_FALSE(d.plaquette.first <= 2 && d.plaquette.first >= 1 && d.plaquette.second <= 2 &&
                   d.plaquette.second >= 1);
    }
    const auto found = scan_defects(q, kDefectThreshold);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].plaquette, Plaquette(6, 5));
    EXPECT_EQ(found[0].charge_sign, 1);
  }
}

// scan_defects makes its frames row by row; they must be the frames of the field's
// 3D embedding, so its hits equal the holonomy scan of FrameField3D::from_q_field(to_q3d).
TEST(ScanDefects, EqualsTheScanOfTheEmbeddedFrames) {
  for (auto [nx, ny] : {std::pair<Count, Count>{2, 2}, {7, 3}, {33, 31}, {16, 64}}) {
    const QField2D q = QField2D::random_perturbation(nx, ny, 1.0, 0.25, nx * 100 + ny);
    const auto field = tarnel_manifolds::frame_field::FrameField3D::from_q_field(q.to_q3d());
    for (double threshold : {-1.0, 0.5, kDefectThreshold}) {
      const auto expected = tarnel_geo::scan_disclinations(field.frames, nx, ny, threshold);
      const auto found = scan_defects(q, threshold);
      ASSERT_EQ(found.size(), expected.size());
      for (std::size_t n = 0; n < found.size(); ++n) {
        EXPECT_EQ(found[n].plaquette, expected[n].plaquette);
        EXPECT_EQ(std::bit_cast<std::uint64_t>(found[n].angle),
                  std::bit_cast<std::uint64_t>(expected[n].angle));
      }
    }
  }
}

TEST(ScanDefects, StorageThatDoesNotMatchTheGridIsRejected) {
  QField2D q = QField2D::zeros(4, 4, 1.0);
  q.data.resize(2 * 4 * 4 - 2);
  EXPECT_THROW((void)scan_defects(q, kDefectThreshold), lodestra_core::Panic);
}
