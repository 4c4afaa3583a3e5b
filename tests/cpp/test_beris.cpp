#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <tuple>

#include "lodestra_core/panic.hpp"
#include "lodestra_core/params.hpp"
#include "lodestra_fields/fields2d.hpp"
#include "lodestra_solver/beris_2d.hpp"
#include "same_bits.hpp"

using lodestra_core::Panic;
using lodestra_core::RidiParams;
using lodestra_fields::Count;
using lodestra_fields::QField2D;
using lodestra_fields::VelocityField2D;
using namespace lodestra_solver;

namespace {

bool bit_equal(const QField2D& a, const QField2D& b) {
  return a.nx == b.nx && a.ny == b.ny && same_bits(a.data, b.data);
}

// Velocity u(x, y) sampled at x = i dx, y = j dx.
VelocityField2D velocity_from(Count nx, Count ny, double dx,
                              const std::function<std::pair<double, double>(double, double)>& u) {
  VelocityField2D v = VelocityField2D::zeros(nx, ny, dx);
  for (Count i = 0; i < nx; ++i) {
    for (Count j = 0; j < ny; ++j) {
      const auto [ux, uy] = u(static_cast<double>(i) * dx, static_cast<double>(j) * dx);
      v.data[2 * (i * ny + j)] = ux;
      v.data[2 * (i * ny + j) + 1] = uy;
    }
  }
  return v;
}

VelocityField2D random_velocity(Count nx, Count ny, double dx, std::uint64_t seed) {
  const QField2D r = QField2D::random_perturbation(nx, ny, dx, 0.8, seed);
  return VelocityField2D{nx, ny, dx, r.data};
}

}  // namespace

class GridSizes : public ::testing::TestWithParam<std::tuple<Count, Count>> {};

// Uniform Q = (q, 0) has no Laplacian: H1 = -A2 q - C4 q^3 = 3q - 18q^3 for the
// test set, positive below the Landau equilibrium |q| = sqrt(1/6), negative above.
TEST_P(GridSizes, UniformQHasLandauMolecularField) {
  const auto [nx, ny] = GetParam();
  const RidiParams p = RidiParams::default_test();
  for (double q : {-0.7, -0.1, 0.0, 0.05, 0.3, 0.9}) {
    const QField2D h = molecular_field(QField2D::uniform(nx, ny, {q, 0.0}, 0.5), p);
    ASSERT_EQ(h.data.size(), 2 * nx * ny);
    EXPECT_EQ(h.dx, 0.5);
    for (Count k = 0; k < h.len(); ++k) {
      EXPECT_NEAR(h.q1(k), 3.0 * q - 18.0 * q * q * q, 1e-14) << q;
      EXPECT_EQ(h.q2(k), 0.0);
    }
  }
  const double q_eq = std::sqrt(1.0 / 6.0);
  EXPECT_NEAR(molecular_field(QField2D::uniform(nx, ny, {q_eq, 0.0}, 1.0), p).q1(0), 0.0, 1e-15);
  EXPECT_GT(molecular_field(QField2D::uniform(nx, ny, {0.99 * q_eq, 0.0}, 1.0), p).q1(0), 0.0);
  EXPECT_LT(molecular_field(QField2D::uniform(nx, ny, {1.01 * q_eq, 0.0}, 1.0), p).q1(0), 0.0);
}

// Q = 0 is a fixed point of every term, with or without flow.
TEST_P(GridSizes, ZeroQGivesZeroTerms) {
  const auto [nx, ny] = GetParam();
  const RidiParams p = RidiParams::default_test();
  const QField2D zero = QField2D::zeros(nx, ny, 1.0);
  const VelocityField2D v = random_velocity(nx, ny, 1.0, 3);
  for (const QField2D& f : {molecular_field(zero, p), beris_edwards_rhs(zero, nullptr, p),
                            beris_edwards_rhs(zero, &v, p), corotation_strain(zero, v, p)}) {
    ASSERT_EQ(f.data.size(), 2 * nx * ny);
    for (double x : f.data) EXPECT_EQ(x, 0.0);
  }
}

// Without a velocity the right-hand side is exactly Gamma_r H, bit for bit.
TEST_P(GridSizes, RhsWithoutFlowIsScaledMolecularField) {
  const auto [nx, ny] = GetParam();
  RidiParams p = RidiParams::default_test();
  p.gamma_r = 0.37;
  const QField2D q = QField2D::random_perturbation(nx, ny, 0.7, 0.6, 11);
  EXPECT_TRUE(bit_equal(beris_edwards_rhs(q, nullptr, p), molecular_field(q, p).scale(0.37)));
}

// A uniform flow has no gradient: S vanishes and only -(u.grad)Q remains.
TEST_P(GridSizes, UniformFlowOnlyAdvects) {
  const auto [nx, ny] = GetParam();
  const RidiParams p = RidiParams::default_test();
  const QField2D q = QField2D::random_perturbation(nx, ny, 1.0, 0.5, 5);
  const VelocityField2D v = velocity_from(nx, ny, 1.0, [](double, double) {
    return std::pair{0.3, -0.2};
  });
  for (double s : corotation_strain(q, v, p).data) EXPECT_EQ(s, 0.0);
  // On a uniform Q the flow carries nothing either: only the relaxation remains.
  const QField2D uniform = QField2D::uniform(nx, ny, {0.2, -0.1}, 1.0);
  EXPECT_TRUE(bit_equal(beris_edwards_rhs(uniform, &v, p), beris_edwards_rhs(uniform, nullptr, p)));
}

INSTANTIATE_TEST_SUITE_P(Beris, GridSizes,
                         ::testing::Values(std::tuple{1, 1}, std::tuple{1, 5}, std::tuple{2, 2},
                                           std::tuple{2, 3}, std::tuple{5, 7}, std::tuple{8, 6},
                                           std::tuple{16, 16}));

// The coefficients enter where they belong: with the Landau terms off H is
// K_r times the Laplacian; the activity only shifts a_eff = a - zeta/2.
TEST(MolecularField, CoefficientsEnterAsWritten) {
  RidiParams p = RidiParams::default_test();
  const QField2D q = QField2D::random_perturbation(6, 9, 0.8, 0.4, 21);
  p.a_landau = 0.0;
  p.zeta_eff = 0.0;
  p.c_landau = 0.0;
  p.k_r = 2.5;
  EXPECT_TRUE(bit_equal(molecular_field(q, p), q.laplacian().scale(2.5)));

  RidiParams shifted = RidiParams::default_test();
  shifted.a_landau = -0.5 + 0.75;
  shifted.zeta_eff = 2.0 + 1.5;  // same a_eff as the test set
  EXPECT_TRUE(
      bit_equal(molecular_field(q, shifted), molecular_field(q, RidiParams::default_test())));
}

// Linear flows u = G (x, y) have an exact central-difference gradient G away
// from the periodic seam. S1, S2 for Q = (q1, q2) by flow:
//   rotation  u = W(-y, x):     (-2W q2, 2W q1)
//   shear     u = (g y, 0):     (g q2, -g q1)
//   dilation  u = (g x, g y):   (2 lambda g q1, 2 lambda g q2)
//   strain    u = (g x, -g y):  (0, 0)
TEST(CorotationStrain, AnalyticLinearFlows) {
  const Count n = 40;
  const double dx = 0.5;
  RidiParams p = RidiParams::default_test();
  p.lambda_ = 0.7;
  const QField2D q = QField2D::random_perturbation(n, n, dx, 0.5, 9);
  struct Case {
    const char* name;
    std::function<std::pair<double, double>(double, double)> u;
    std::function<std::pair<double, double>(double, double)> s;
  };
  const double w = 0.3;
  const double g = 0.2;
  const double lam = p.lambda_;
  const Case cases[] = {
      {"rotation",
       [&](double x, double y) {
         return std::pair{-w * y, w * x};
       },
       [&](double q1, double q2) {
         return std::pair{-2 * w * q2, 2 * w * q1};
       }},
      {"shear",
       [&](double, double y) {
         return std::pair{g * y, 0.0};
       },
       [&](double q1, double q2) {
         return std::pair{g * q2, -g * q1};
       }},
      {"dilation",
       [&](double x, double y) {
         return std::pair{g * x, g * y};
       },
       [&](double q1, double q2) {
         return std::pair{2 * lam * g * q1, 2 * lam * g * q2};
       }},
      {"strain",
       [&](double x, double y) {
         return std::pair{g * x, -g * y};
       },
       [&](double, double) {
         return std::pair{0.0, 0.0};
       }},
  };
  for (const Case& c : cases) {
    const QField2D s = corotation_strain(q, velocity_from(n, n, dx, c.u), p);
    EXPECT_EQ(s.dx, dx);
    for (Count i = 1; i + 1 < n; ++i) {
      for (Count j = 1; j + 1 < n; ++j) {
        const Count k = i * n + j;
        const auto [e1, e2] = c.s(q.q1(k), q.q2(k));
        EXPECT_NEAR(s.q1(k), e1, 1e-13) << c.name << " " << i << "," << j;
        EXPECT_NEAR(s.q2(k), e2, 1e-13) << c.name << " " << i << "," << j;
      }
    }
  }
}

// A flow along +x carries a q1 ramp downstream: dq1/dt = -ux dq1/dx on the
// interior, with the Landau terms and the Laplacian (zero on a ramp) out of the way.
TEST(BerisEdwardsRhs, AdvectionTransportsDownstream) {
  const Count nx = 12;
  const Count ny = 4;
  RidiParams p = RidiParams::default_test();
  p.a_landau = 0.0;
  p.zeta_eff = 0.0;
  p.c_landau = 0.0;
  QField2D q = QField2D::zeros(nx, ny, 0.5);
  for (Count i = 0; i < nx; ++i) {
    for (Count j = 0; j < ny; ++j) q.data[2 * (i * ny + j)] = 0.1 * static_cast<double>(i);
  }
  const VelocityField2D v = velocity_from(nx, ny, 0.5, [](double, double) {
    return std::pair{2.0, 0.0};
  });
  const QField2D rhs = beris_edwards_rhs(q, &v, p);
  for (Count i = 1; i + 1 < nx; ++i) {
    for (Count j = 0; j < ny; ++j) {
      EXPECT_NEAR(rhs.q1(i * ny + j), -2.0 * (0.1 / 0.5), 1e-13);
      EXPECT_EQ(rhs.q2(i * ny + j), 0.0);
    }
  }
}

// The flow must share Q's grid; the same vertex count in another shape is refused too.
TEST(BerisEdwardsRhs, VelocityOnAnotherGridPanics) {
  const RidiParams p = RidiParams::default_test();
  const QField2D q = QField2D::random_perturbation(4, 8, 1.0, 0.3, 1);
  for (const VelocityField2D& v :
       {VelocityField2D::zeros(8, 4, 1.0), VelocityField2D::zeros(4, 7, 1.0),
        VelocityField2D::zeros(3, 8, 1.0), VelocityField2D::zeros(0, 0, 1.0)}) {
    EXPECT_THROW(corotation_strain(q, v, p), Panic);
    EXPECT_THROW(beris_edwards_rhs(q, &v, p), Panic);
  }
}
