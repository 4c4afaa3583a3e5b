#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numbers>
#include <string>

#include "lodestra_core/panic.hpp"
#include "lodestra_core/params3d.hpp"
#include "lodestra_core/sizes.hpp"
#include "lodestra_core/verror.hpp"
#include "lodestra_fields/fields3d.hpp"
#include "same_bits.hpp"

using namespace lodestra_fields;

namespace {

// An independent xoshiro256++ / SplitMix64, written from the generators' definitions.
struct RefXoshiro {
  std::uint64_t s[4];
  explicit RefXoshiro(std::uint64_t seed) {
    for (int m = 0; m < 4; ++m) {
      std::uint64_t z = seed + static_cast<std::uint64_t>(m + 1) * 0x9E3779B97F4A7C15ULL;
      z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
      z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
      s[m] = z ^ (z >> 31);
    }
  }
  static std::uint64_t rotl(std::uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
  std::uint64_t next() {
    const std::uint64_t out = rotl(s[0] + s[3], 23) + s[0];
    const std::uint64_t t = s[1] << 17;
    s[2] ^= s[0];
    s[3] ^= s[1];
    s[1] ^= s[2];
    s[0] ^= s[3];
    s[2] ^= t;
    s[3] = rotl(s[3], 45);
    return out;
  }
  double sample(double a) {
    const double u = std::bit_cast<double>((next() >> 12) | 0x3FF0000000000000ULL) - 1.0;
    return a * 2.0 * u - a;
  }
};

std::string panic_text(auto&& call) {
  try {
    call();
  } catch (const lodestra_core::Panic& p) {
    return p.what();
  }
  return "<no panic>";
}

}  // namespace

class RandomPerturbation3D : public ::testing::TestWithParam<std::uint64_t> {};

TEST_P(RandomPerturbation3D, MatchesAnIndependentGeneratorAndRepeats) {
  const std::uint64_t seed = GetParam();
  const QField3D q = QField3D::random_perturbation(3, 2, 4, 0.5, 0.25, seed);
  ASSERT_EQ(q.data.size(), 5u * 24u);
  RefXoshiro ref(seed);
  for (double v : q.data) {
    EXPECT_EQ(v, ref.sample(0.25));
    EXPECT_TRUE(v >= -0.25 && v < 0.25);
  }
  const QField3D again = QField3D::random_perturbation(3, 2, 4, 0.5, 0.25, seed);
  EXPECT_TRUE(same_bits(q.data, again.data));
  EXPECT_EQ(q.nz, 4u);
  EXPECT_EQ(q.dx, 0.5);
}

INSTANTIATE_TEST_SUITE_P(Seeds, RandomPerturbation3D, ::testing::Values(0ULL, 12345ULL));

TEST(RandomPerturbation3D, KnownFirstValue) {
  // The first xoshiro256++ output for seed 12345 is 0x8D948A82DEF8A568.
  const double u =
      std::bit_cast<double>((0x8D948A82DEF8A568ULL >> 12) | 0x3FF0000000000000ULL) - 1.0;
  EXPECT_EQ(QField3D::random_perturbation(1, 1, 1, 1.0, 1.0, 12345).data[0], 2.0 * u - 1.0);
}

TEST(RandomPerturbation3D, BadAmplitudes) {
  for (double a : {0.0, -1.0, std::numeric_limits<double>::quiet_NaN()}) {
    EXPECT_EQ(panic_text([&] { QField3D::random_perturbation(2, 2, 2, 1.0, a, 1); }),
              "cannot sample empty range");
    // An empty grid draws nothing and needs no range.
    EXPECT_TRUE(QField3D::random_perturbation(2, 0, 2, 1.0, a, 1).data.empty());
  }
  for (double a : {std::numeric_limits<double>::max(), std::numeric_limits<double>::infinity()}) {
    EXPECT_NE(panic_text([&] {
                QField3D::random_perturbation(1, 1, 1, 1.0, a, 1);
              }).find("2*amplitude overflows"),
              std::string::npos);
  }
}

TEST(Fields3D, SizesAreChecked) {
  const Count big = Count{1} << 22;
  EXPECT_THROW(QField3D::zeros(big, big, big, 1.0), std::overflow_error);
  // 2^62 vertices fit a count, five doubles each do not.
  EXPECT_THROW(QField3D::zeros(Count{1} << 31, Count{1} << 31, 1, 1.0), std::overflow_error);
  EXPECT_THROW(ScalarField3D::zeros(Count{1} << 40, Count{1} << 20, 1, 1.0),
               lodestra_core::AllocationError);
}

TEST(Laplacian3D, SingleFourierModeIsAnEigenvector) {
  // f = cos(2 pi (m_i i / nx + m_j j / ny + m_l l / nz)) has the 7-point eigenvalue
  // sum over axes of -(4/dx^2) sin^2(pi m / n).
  const Count nx = 6, ny = 5, nz = 4;
  const int mi = 1, mj = 2, ml = 1;
  const double dx = 0.7;
  QField3D q = QField3D::zeros(nx, ny, nz, dx);
  for (Count i = 0; i < nx; ++i)
    for (Count j = 0; j < ny; ++j)
      for (Count l = 0; l < nz; ++l) {
        const double phase = 2.0 * std::numbers::pi *
                             (mi * double(i) / nx + mj * double(j) / ny + ml * double(l) / nz);
        const Count k = flat_index(i, j, l, ny, nz);
        q.data[5 * k + 2] = std::cos(phase);         // q13
        q.data[5 * k + 4] = -2.0 * std::cos(phase);  // q23
      }
  auto s2 = [](int m, Count n) {
    const double s = std::sin(std::numbers::pi * m / double(n));
    return s * s;
  };
  const double lambda = -4.0 / (dx * dx) * (s2(mi, nx) + s2(mj, ny) + s2(ml, nz));
  const QField3D lap = q.laplacian();
  for (Count k = 0; k < q.len(); ++k) {
    EXPECT_NEAR(lap.data[5 * k + 2], lambda * q.data[5 * k + 2], 1e-12);
    EXPECT_NEAR(lap.data[5 * k + 4], lambda * q.data[5 * k + 4], 1e-12);
    EXPECT_EQ(lap.data[5 * k], 0.0);
  }
  EXPECT_EQ(lap.dx, dx);
}

TEST(Laplacian3D, SizeOneAxesAndEmptyGrids) {
  // Dyadic values sum exactly, so a uniform field has Laplacian exactly 0.
  // nz = 1: the l neighbours are the vertex itself (2f against two of the six f).
  QField3D q = QField3D::zeros(2, 1, 1, 0.5);
  q.data[0] = 1.0;  // q11 at i = 0; i = 1 holds 0
  const QField3D lap = q.laplacian();
  const double inv = 1.0 / (0.5 * 0.5);
  EXPECT_EQ(lap.data[0], inv * ((((((0.0 + 0.0) + 1.0) + 1.0) + 1.0) + 1.0) - 6.0));
  EXPECT_EQ(lap.data[0], -8.0);
  EXPECT_EQ(lap.data[5], 8.0);
  for (double v : QField3D::uniform(3, 1, 2, {0.25, -0.5, 0.75, 1.5, -3.0}, 1.0).laplacian().data)
    EXPECT_EQ(v, 0.0);
  EXPECT_TRUE(QField3D::zeros(3, 0, 2, 1.0).laplacian().data.empty());
}

TEST(Observables3D, UniformUniaxialHasSEqualToSAndNoBiaxiality) {
  for (double s : {0.5, 0.37}) {
    const QField3D q = QField3D::uniform(2, 3, 2, {2.0 / 3.0 * s, 0, 0, -1.0 / 3.0 * s, 0}, 1.0);
    for (double v : q.scalar_order_s()) EXPECT_NEAR(v, s, 1e-15);
    for (double v : q.biaxiality_p()) EXPECT_NEAR(v, 0.0, 1e-15);
    EXPECT_NEAR(q.mean_s(), s, 1e-15);
    // |Q|^2 = (4/9 + 1/9 + 1/9) s^2 with the off-diagonals zero.
    EXPECT_NEAR(q.max_norm(), std::sqrt(6.0 / 9.0) * s, 1e-15);
  }
  // A biaxial diagonal: eigenvalues -0.3, 0.1, 0.2 give S = 0.3, P = 0.4.
  const QField3D b = QField3D::uniform(1, 1, 2, {0.2, 0, 0, 0.1, 0}, 1.0);
  EXPECT_NEAR(b.scalar_order_s()[0], 0.3, 1e-15);
  EXPECT_NEAR(b.biaxiality_p()[1], 0.4, 1e-15);
}

TEST(Observables3D, EmptyAndNonFiniteRecords) {
  const QField3D empty = QField3D::zeros(0, 4, 4, 1.0);
  EXPECT_TRUE(std::isnan(empty.mean_s()));
  EXPECT_EQ(empty.max_norm(), 0.0);
  const ScalarField3D phi = ScalarField3D::zeros(4, 4, 0, 1.0);
  EXPECT_TRUE(std::isnan(phi.mean()));
  EXPECT_EQ(phi.max(), -std::numeric_limits<double>::infinity());

  // NaN and infinite records terminate with NaN observables; max_norm skips NaN.
  QField3D q = QField3D::uniform(1, 1, 3, {0.1, 0, 0, 0, 0}, 1.0);
  q.data[5] = std::numeric_limits<double>::quiet_NaN();
  q.data[11] = std::numeric_limits<double>::infinity();
  const auto s = q.scalar_order_s();
  EXPECT_TRUE(std::isnan(s[1]) && std::isnan(s[2]));
  EXPECT_TRUE(std::isnan(q.biaxiality_p()[1]));
  EXPECT_TRUE(std::isnan(q.mean_s()));
  EXPECT_EQ(q.max_norm(), std::numeric_limits<double>::infinity());
  q.data[11] = 0.0;
  EXPECT_EQ(q.max_norm(), std::sqrt(0.1 * 0.1 + 0.1 * 0.1));

  ScalarField3D p = ScalarField3D::uniform(1, 2, 2, 1.0, 2.0);
  p.data[1] = std::numeric_limits<double>::quiet_NaN();
  p.data[2] = 3.0;
  EXPECT_EQ(p.max(), 3.0);
  EXPECT_TRUE(PressureField3D::zeros(2, 2, 2, 1.0).data == std::vector<double>(8, 0.0));
}

TEST(VelocityGradient3D, SineShearAndUniformFlow) {
  const Count nx = 8, ny = 3, nz = 2;
  const double dx = 0.5;
  for (double v : [] {
         const auto g =
             VelocityField3D::uniform(3, 3, 3, {1.0, -2.0, 0.5}, 1.0).velocity_gradient_at(13);
         std::vector<double> all(g.d.begin(), g.d.end());
         all.insert(all.end(), g.w.begin(), g.w.end());
         return all;
       }())
    EXPECT_EQ(v, 0.0);

  VelocityField3D u = VelocityField3D::zeros(nx, ny, nz, dx);
  auto uy = [&](Count i) { return std::sin(2.0 * std::numbers::pi * double(i) / nx); };
  for (Count k = 0; k < u.len(); ++k) u.data[3 * k + 1] = uy(split_index(k, ny, nz).i);
  for (Count i : {Count{0}, Count{3}, Count{7}}) {
    const Count k = flat_index(i, 2, 1, ny, nz);
    const auto g = u.velocity_gradient_at(k);
    const double dxuy = (1.0 / (2.0 * dx)) * (uy((i + 1) % nx) - uy((i + nx - 1) % nx));
    for (int e = 0; e < 9; ++e) {
      if (e == 1 || e == 3) continue;
      EXPECT_EQ(g.d[e], 0.0);
      EXPECT_EQ(g.w[e], 0.0);
    }
    EXPECT_EQ(g.d[1], 0.5 * dxuy);
    EXPECT_EQ(g.d[3], g.d[1]);
    EXPECT_EQ(g.w[1], 0.5 * dxuy);
    EXPECT_EQ(g.w[3], -g.w[1]);
  }
}

namespace {

using lodestra_core::RidiParams3D;

std::string failure(const RidiParams3D& p) {
  const auto r = p.validate();
  return r ? std::string() : lodestra_core::to_string(r.error());
}

}  // namespace

TEST(RidiParams3D, EngineOnlyChecksAndTheStabilityBound) {
  RidiParams3D p = RidiParams3D::default_test();
  EXPECT_EQ(failure(p), "");
  p.kappa_w = -1.0;
  EXPECT_EQ(failure(p), "invalid parameter: kappa_w must be non-negative");
  p.kappa_w = 0.0;
  p.epsilon_ch = 0.0;
  EXPECT_EQ(failure(p), "invalid parameter: epsilon_ch must be positive");
  p.epsilon_ch = 1.0;
  p.kappa_bar_g = 1.0;  // dt_max = 0.1 / (pi^6 * 0.1) = 1.0402e-3 < dt = 0.01
  EXPECT_EQ(failure(p),
            "invalid parameter: dt=1.000e-2 exceeds \u03BA\u0304_G ETD stability bound "
            "dt_max=1.040e-3; reduce dt or reduce |\u03BA\u0304_G|");
  p.kappa_bar_g = -1.0;  // |kappa_bar_G| enters
  EXPECT_NE(failure(p), "");
  p.dt = 1e-3;
  EXPECT_EQ(failure(p), "");
  p.dt = 0.01;
  p.m_l = std::numeric_limits<double>::quiet_NaN();  // a NaN skips the bound
  EXPECT_EQ(failure(p), "");
  p.m_l = 0.1;
  p.dx = std::numeric_limits<double>::quiet_NaN();  // NaN dt_max never fails
  EXPECT_EQ(failure(p), "");
}

class LaplacianSizes3D : public ::testing::TestWithParam<std::array<Count, 3>> {};

TEST_P(LaplacianSizes3D, EqualsThePlainStencilLoopBitForBit) {
  const auto [nx, ny, nz] = GetParam();
  const QField3D q = QField3D::random_perturbation(nx, ny, nz, 0.3, 1.0, 5);
  std::vector<double> expected(q.data.size());
  const double inv = 1.0 / (0.3 * 0.3);
  for_each_stencil_3d(nx, ny, nz, [&](const Stencil3& s) {
    for (Count c = 0; c < 5; ++c) {
      auto f = [&](Count k) { return q.data[5 * k + c]; };
      expected[5 * s.k + c] =
          inv *
          ((((((f(s.xp) + f(s.xm)) + f(s.yp)) + f(s.ym)) + f(s.zp)) + f(s.zm)) - 6.0 * f(s.k));
    }
  });
  EXPECT_TRUE(same_bits(q.laplacian().data, expected));
}

INSTANTIATE_TEST_SUITE_P(Grids, LaplacianSizes3D,
                         ::testing::Values(std::array<Count, 3>{1, 1, 1},
                                           std::array<Count, 3>{2, 3, 1},
                                           std::array<Count, 3>{3, 1, 2},
                                           std::array<Count, 3>{2, 2, 3},
                                           std::array<Count, 3>{4, 3, 7}));
