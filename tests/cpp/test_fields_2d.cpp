#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "lodestra_core/panic.hpp"
#include "lodestra_core/sizes.hpp"
#include "lodestra_fields/fields2d.hpp"
#include "lodestra_fields/random.hpp"

using namespace lodestra_fields;

namespace {

QField2D q_from(Count nx, Count ny, std::vector<double> values, double dx = 1.0) {
  return QField2D{nx, ny, dx, std::move(values)};
}

}  // namespace

TEST(Generators, KnownAnswers) {
  Lcg64 lcg{1};  // the state random_perturbation starts from for seed 0
  EXPECT_EQ(lcg.next(), 0x6C576FAC43FD007CULL);
  EXPECT_EQ(lcg.next(), 0x826886B3864A1B1BULL);
  EXPECT_EQ(lcg.next(), 0xA5FAE1992097AA0EULL);

  SplitMix64 split{0};
  EXPECT_EQ(split.next(), 0xE220A8397B1DCDAFULL);
  EXPECT_EQ(split.next(), 0x6E789E6AA1B965F4ULL);

  Xoshiro256pp x = Xoshiro256pp::seeded(12345);
  EXPECT_EQ(x.next(), 0x8D948A82DEF8A568ULL);
  EXPECT_EQ(x.next(), 0x3477F953796702A0ULL);
  EXPECT_EQ(x.next(), 0x15CAA2FCE6DB8D69ULL);

  Xoshiro256pp u = Xoshiro256pp::seeded(12345);
  EXPECT_EQ(u.uniform01(), static_cast<double>(0x8D948A82DEF8A568ULL >> 11) * 0x1.0p-53);
}

TEST(RandomPerturbation, MapsTheTopBitsOfEachState) {
  const QField2D q = QField2D::random_perturbation(1, 2, 1.0, 0.5, 0);
  Lcg64 lcg{1};
  for (double value : q.data) {
    const double u = static_cast<double>(lcg.next() >> 32) / 4294967295.0;
    EXPECT_EQ(value, 0.5 * (2.0 * u - 1.0));
  }
  // The seed wraps: seed 2^64 - 1 starts from state 0.
  const QField2D wrapped = QField2D::random_perturbation(1, 1, 1.0, 1.0, ~0ULL);
  EXPECT_EQ(wrapped.q1(0),
            1.0 * (2.0 * (static_cast<double>(Lcg64::kIncrement >> 32) / 4294967295.0) - 1.0));
}

TEST(Laplacian, TwoByTwoCountsTheSameNeighbourTwice) {
  // a at i = 0, b at i = 1, constant along y: 2 (b - a) / dx^2 at i = 0.
  const double a = 0.3, b = -1.1, dx = 0.5;
  const QField2D q = q_from(2, 2, {a, 0, a, 0, b, 1, b, 1}, dx);
  const QField2D l = q.laplacian();
  EXPECT_EQ(l.q1(0), ((((b + b) + a) + a) - 4.0 * a) / (dx * dx));
  EXPECT_DOUBLE_EQ(l.q1(0), 2.0 * (b - a) / (dx * dx));
  EXPECT_EQ(l.q1(1), l.q1(0));
  EXPECT_DOUBLE_EQ(l.q1(2), 2.0 * (a - b) / (dx * dx));
  EXPECT_EQ(l.q2(0), 2.0 * (1.0 - 0.0) / (dx * dx));
  EXPECT_EQ(l.dx, dx);
}

TEST(Laplacian, OneByNWrapsAlongTheRow) {
  // nx = 1: both x neighbours are the vertex itself, so only the y terms remain.
  ScalarField2D phi = ScalarField2D::zeros(1, 5, 1.0);
  phi.data = {0.0, 1.0, 4.0, 9.0, 16.0};
  const ScalarField2D l = phi.laplacian();
  EXPECT_EQ(l.data[0], (16.0 + 1.0) - 0.0);  // wraps to j = 4
  EXPECT_EQ(l.data[2], (9.0 + 1.0) - 8.0);
  EXPECT_EQ(l.data[4], (0.0 + 9.0) - 32.0);  // wraps to j = 0
  ScalarField2D single = ScalarField2D::uniform(1, 1, 1.0, 7.0);
  EXPECT_EQ(single.laplacian().data[0], 0.0);
}

TEST(Laplacian, UniformAndEmptyFields) {
  const QField2D q = QField2D::uniform(5, 3, {0.25, -0.75}, 0.3);
  for (double v : q.laplacian().data) EXPECT_EQ(v, 0.0);
  EXPECT_TRUE(QField2D::zeros(0, 4, 1.0).laplacian().data.empty());
  EXPECT_TRUE(QField2D::zeros(4, 0, 1.0).laplacian().data.empty());
  ScalarField2D phi = ScalarField2D::uniform(4, 6, 2.0, 1.5);
  EXPECT_EQ(phi.mean_gradient_sq(), 0.0);
}

TEST(Laplacian, MatchesTheFormulaOnOddAndEvenGrids) {
  for (auto [nx, ny] : {std::pair<Count, Count>{3, 4}, {4, 3}, {5, 5}, {2, 7}, {7, 2}}) {
    const QField2D q = QField2D::random_perturbation(nx, ny, 0.7, 1.0, nx * 10 + ny);
    const QField2D l = q.laplacian();
    for (Count i = 0; i < nx; ++i) {
      for (Count j = 0; j < ny; ++j) {
        auto at = [&](Count a, Count b, int c) { return q.data[2 * (a * ny + b) + c]; };
        for (int c = 0; c < 2; ++c) {
          const double expect =
              ((((at((i + 1) % nx, j, c) + at((i + nx - 1) % nx, j, c)) + at(i, (j + 1) % ny, c)) +
                at(i, (j + ny - 1) % ny, c)) -
               4.0 * at(i, j, c)) /
              (0.7 * 0.7);
          EXPECT_EQ(l.data[2 * (i * ny + j) + c], expect);
        }
      }
    }
  }
}

TEST(Advection, RampAlongXWithUnitVelocity) {
  const Count nx = 5, ny = 3;
  const double dx = 0.5;
  QField2D ramp = QField2D::zeros(nx, ny, dx);
  for (Count i = 0; i < nx; ++i) {
    for (Count j = 0; j < ny; ++j) ramp.data[2 * (i * ny + j)] = static_cast<double>(i);
  }
  VelocityField2D v = VelocityField2D::zeros(nx, ny, dx);
  for (Count k = 0; k < nx * ny; ++k) v.data[2 * k] = 1.0;
  const QField2D a = v.advect(ramp);
  for (Count i = 0; i < nx; ++i) {
    const double expect = i == 0 ? (0.0 - (nx - 1.0)) / dx : 1.0 / dx;
    for (Count j = 0; j < ny; ++j) {
      EXPECT_EQ(a.q1(i * ny + j), expect);
      EXPECT_EQ(a.q2(i * ny + j), 0.0);
    }
  }
  // Negative velocity takes the forward difference; the wrap now sits at i = nx - 1.
  for (Count k = 0; k < nx * ny; ++k) v.data[2 * k] = -2.0;
  const QField2D back = v.advect(ramp);
  EXPECT_EQ(back.q1(0), (1.0 / dx) * -2.0);
  EXPECT_EQ(back.q1((nx - 1) * ny), ((0.0 - (nx - 1.0)) / dx) * -2.0);
  // Zero velocity gives zeros.
  for (double value : VelocityField2D::zeros(nx, ny, dx).advect(ramp).data) EXPECT_EQ(value, 0.0);
}

TEST(Advection, ScalarAlongYAndResultGrid) {
  ScalarField2D phi = ScalarField2D::zeros(2, 4, 1.0);
  phi.data = {0, 1, 2, 3, 0, 1, 2, 3};
  VelocityField2D v = VelocityField2D::zeros(2, 4, 2.0);
  for (Count k = 0; k < 8; ++k) v.data[2 * k + 1] = 0.5;
  const ScalarField2D a = v.advect_scalar(phi);
  EXPECT_EQ(a.dx, 2.0);  // the velocity's grid
  EXPECT_EQ(a.data[0], ((0.0 - 3.0) / 2.0) * 0.5);
  EXPECT_EQ(a.data[1], (1.0 / 2.0) * 0.5);
}

TEST(GridChecks, MismatchedOperandsPanicWithBothSizes) {
  const QField2D a = QField2D::zeros(4, 4, 1.0);
  const QField2D b = QField2D::zeros(4, 5, 1.0);
  try {
    a.add(b);
    FAIL();
  } catch (const lodestra_core::Panic& p) {
    EXPECT_STREQ(p.what(), "assertion `left == right` failed\n  left: 4\n right: 5");
  }
  EXPECT_THROW(VelocityField2D::zeros(3, 4, 1.0).advect(a), lodestra_core::Panic);
  EXPECT_THROW(VelocityField2D::zeros(4, 3, 1.0).advect_scalar(ScalarField2D::zeros(4, 4, 1.0)),
               lodestra_core::Panic);
  EXPECT_EQ(a.add(QField2D::zeros(4, 4, 9.0)).dx, 1.0);  // the first operand's dx
}

TEST(Observables, EdgeValues) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  const QField2D q = q_from(2, 2, {3.0, 4.0, nan, 0.0, 0.0, 0.0, -6.0, 8.0});
  EXPECT_EQ(q.max_norm(), 10.0);  // the NaN vertex is skipped
  EXPECT_TRUE(std::isnan(q.mean_order_param()));
  std::vector<double> s(4);
  q.order_param_into(s.data());
  EXPECT_EQ(s[0], 10.0);
  EXPECT_EQ(s[3], 20.0);
  EXPECT_EQ(QField2D::zeros(0, 3, 1.0).max_norm(), 0.0);
  EXPECT_TRUE(std::isnan(QField2D::zeros(0, 3, 1.0).mean_order_param()));

  ScalarField2D phi = ScalarField2D::zeros(0, 2, 1.0);
  EXPECT_EQ(phi.variance(), 0.0);
  EXPECT_EQ(phi.max_value(), -inf);
  EXPECT_EQ(phi.min_value(), inf);
  // Rounding never makes the variance negative; NaN values propagate.
  for (double value : {0.1, 0.3, 1e8 + 0.1, -7.7}) {
    EXPECT_GE(ScalarField2D::uniform(3, 3, 1.0, value).variance(), 0.0);
  }
  phi = ScalarField2D::uniform(2, 2, 1.0, 1.0);
  phi.data[1] = nan;
  EXPECT_TRUE(std::isnan(phi.variance()));
  EXPECT_EQ(phi.max_value(), 1.0);
}

TEST(Observables, ReductionsFollowTheIndexOrder) {
  // Values whose sum depends on the order of addition: the result is the sum in
  // index order, as a plain loop gives it, for every length around the block size.
  for (Count n : {Count{1}, Count{511}, Count{512}, Count{513}, Count{1500}}) {
    const QField2D q = QField2D::random_perturbation(1, n, 1.0, 1e3, n);
    double sum = 0.0;
    double best = 0.0;
    for (Count k = 0; k < n; ++k) {
      sum += 2.0 * std::sqrt(q.q1(k) * q.q1(k) + q.q2(k) * q.q2(k));
      best = std::max(best, std::sqrt(q.q1(k) * q.q1(k) + q.q2(k) * q.q2(k)));
    }
    EXPECT_EQ(q.mean_order_param(), sum / static_cast<double>(n));
    EXPECT_EQ(q.max_norm(), best);
  }
}

TEST(Storage, SizesThatOverflowOrCannotBeAllocated) {
  EXPECT_THROW(QField2D::zeros(1ULL << 32, 1ULL << 32, 1.0), std::overflow_error);
  EXPECT_THROW(QField2D::zeros(1ULL << 62, 2, 1.0), std::overflow_error);  // x2 components
  try {
    ScalarField2D::zeros(1ULL << 31, 1ULL << 30, 1.0);
    ADD_FAILURE() << "allocated 2^61 doubles";
  } catch (const lodestra_core::AllocationError& e) {
    EXPECT_STREQ(e.what(),
                 "cannot allocate ScalarField2D of 2147483648 x 1073741824 vertices "
                 "(2305843009213693952 values)");
  }
}
