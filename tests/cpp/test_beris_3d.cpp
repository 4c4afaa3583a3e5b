#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <span>
#include <string>
#include <tuple>
#include <utility>

#include "lodestra_core/panic.hpp"
#include "lodestra_core/params3d.hpp"
#include "lodestra_fields/fields3d.hpp"
#include "lodestra_solver/beris_3d.hpp"
#include "lodestra_solver/mol_field_3d.hpp"
#include "same_bits.hpp"

using lodestra_core::Panic;
using lodestra_core::RidiParams3D;
using lodestra_fields::Count;
using lodestra_fields::QField3D;
using lodestra_fields::VelocityField3D;
using namespace lodestra_solver;

namespace {

using Mat = std::array<std::array<double, 3>, 3>;
using Sizes = std::tuple<Count, Count, Count>;

bool bit_equal(const QField3D& a, const QField3D& b) {
  return a.nx == b.nx && a.ny == b.ny && a.nz == b.nz && same_bits(a.data, b.data) &&
         same_bits(std::span(&a.dx, 1), std::span(&b.dx, 1));
}

// Uniaxial order s along the unit vector n: Q = s (n n - I/3), as the five stored components.
std::array<double, 5> uniaxial(double s, std::array<double, 3> n) {
  const double t = 1.0 / 3.0;
  return {s * (n[0] * n[0] - t), s * n[0] * n[1], s * n[0] * n[2], s * (n[1] * n[1] - t),
          s * n[1] * n[2]};
}

Mat full(const double* q) {
  return Mat{{{q[0], q[1], q[2]}, {q[1], q[3], q[4]}, {q[2], q[4], -(q[0] + q[3])}}};
}

double trace_sq(const double* q) {
  const Mat m = full(q);
  double t = 0.0;
  for (int a = 0; a < 3; ++a)
    for (int b = 0; b < 3; ++b) t += m[a][b] * m[b][a];
  return t;
}

VelocityField3D random_velocity(Count nx, Count ny, Count nz, double dx, std::uint64_t seed) {
  const QField3D r = QField3D::random_perturbation(nx, ny, nz, dx, 0.7, seed);
  VelocityField3D u = VelocityField3D::zeros(nx, ny, nz, dx);
  for (Count k = 0; k < u.len(); ++k)
    for (Count c = 0; c < 3; ++c) u.data[3 * k + c] = r.data[5 * k + c];
  return u;
}

// The test set with a rotating field switched on and no round coefficients, so
// that every term of H contributes.
RidiParams3D busy_params() {
  RidiParams3D p = RidiParams3D::default_test();
  p.chi_a = 0.3;
  p.b0 = 1.7;
  p.omega_b = 0.9;
  p.gamma_r = 0.37;
  p.k_r = 1.3;
  p.lambda_ = 0.7;
  return p;
}

}  // namespace

class Grids3D : public ::testing::TestWithParam<Sizes> {};

// A uniform Q has no Laplacian: without a field H = -(a_eff + 2c tr(Q^2)) Q, the bulk
// Landau force, which vanishes on the equilibrium shell tr(Q^2) = -a_eff/(2c) = 1/6
// of the test set (S = 0.5) and pushes towards it from either side.
TEST_P(Grids3D, UniformQGivesBulkLandauForce) {
  const auto [nx, ny, nz] = GetParam();
  const RidiParams3D p = RidiParams3D::default_test();
  const std::array<double, 3> n{0.6, -0.48, 0.64};
  for (const std::array<double, 5>& q :
       {uniaxial(0.2, n), uniaxial(0.5, n), uniaxial(0.9, n), uniaxial(-0.3, {0.0, 0.0, 1.0}),
        std::array<double, 5>{0.11, -0.07, 0.05, -0.2, 0.13}}) {
    const QField3D h = molecular_field_3d(QField3D::uniform(nx, ny, nz, q, 0.5), p, 0.7);
    ASSERT_EQ(h.data.size(), 5 * nx * ny * nz);
    EXPECT_EQ(h.dx, 0.5);
    const double factor = -(p.a_eff() + 2.0 * p.c_landau * trace_sq(q.data()));
    for (Count k = 0; k < h.len(); ++k)
      for (Count c = 0; c < 5; ++c) EXPECT_NEAR(h.data[5 * k + c], factor * q[c], 1e-14);
  }
  // Below the shell H grows the order along Q itself, above it shrinks it.
  const std::array<double, 5> lo = uniaxial(0.4, n);
  const std::array<double, 5> hi = uniaxial(0.6, n);
  if (nx * ny * nz > 0) {
    EXPECT_GT(molecular_field_3d(QField3D::uniform(nx, ny, nz, lo, 1.0), p, 0.0).data[0] * lo[0],
              0.0);
    EXPECT_LT(molecular_field_3d(QField3D::uniform(nx, ny, nz, hi, 1.0), p, 0.0).data[0] * hi[0],
              0.0);
  }
}

// With Q = 0 only the field term chi_a b0^2 (bb - I/3) is left, b = (cos wt, sin wt, 0):
// (2/3, 0, 0, -1/3, 0) chi_a b0^2 at t = 0, turning with omega_b t. Without a flow
// the right-hand side is gamma_r H exactly.
TEST_P(Grids3D, ZeroQFeelsOnlyTheRotatingField) {
  const auto [nx, ny, nz] = GetParam();
  const RidiParams3D p = busy_params();
  const double f = p.chi_a * p.b0 * p.b0;
  const QField3D zero = QField3D::zeros(nx, ny, nz, 1.0);
  for (double t : {0.0, 0.4, 2.5, -7.0}) {
    const double c = std::cos(p.omega_b * t);
    const double s = std::sin(p.omega_b * t);
    const double expect[5] = {f * (c * c - 1.0 / 3.0), f * c * s, 0.0, f * (s * s - 1.0 / 3.0),
                              0.0};
    const QField3D h = molecular_field_3d(zero, p, t);
    for (Count k = 0; k < h.len(); ++k)
      for (Count m = 0; m < 5; ++m) EXPECT_NEAR(h.data[5 * k + m], expect[m], 1e-15) << t;
    QField3D scaled = h;
    for (double& x : scaled.data) x = p.gamma_r * x;
    EXPECT_TRUE(bit_equal(beris_edwards_rhs_3d(zero, nullptr, p, t), scaled));
  }
}

// The fused steps are the literal composition of the operators, bit for bit, on
// random fields of every shape (odd sizes, size-1 axes, empty grids); a step of
// dt = 0 gives back Q.
TEST_P(Grids3D, FusedStepsEqualComposition) {
  const auto [nx, ny, nz] = GetParam();
  const RidiParams3D p = busy_params();
  for (double dx : {1.0, 0.7}) {
    const QField3D q = QField3D::random_perturbation(nx, ny, nz, dx, 0.6, 17);
    const VelocityField3D u = random_velocity(nx, ny, nz, dx, 29);
    const EulerIntegrator3D euler{};
    QField3D out = QField3D::zeros(nx, ny, nz, 3.0);
    dry_euler_step_3d(q, p, 1.3, 0.01, out);
    EXPECT_TRUE(bit_equal(out, euler.step(q, beris_edwards_rhs_3d(q, nullptr, p, 1.3), 0.01)));
    flow_euler_step_3d(q, u, p, 1.3, 0.01, out);
    EXPECT_TRUE(bit_equal(out, euler.step(q, beris_edwards_rhs_3d(q, &u, p, 1.3), 0.01)));
    EXPECT_TRUE(bit_equal(euler.step(q, beris_edwards_rhs_3d(q, &u, p, 1.3), 0.0), q));
  }
}

INSTANTIATE_TEST_SUITE_P(Beris3D, Grids3D,
                         ::testing::Values(Sizes{1, 1, 1}, Sizes{1, 4, 1}, Sizes{2, 1, 3},
                                           Sizes{3, 5, 2}, Sizes{4, 4, 4}, Sizes{5, 3, 7},
                                           Sizes{1, 2, 131}, Sizes{0, 3, 3}, Sizes{3, 0, 2}));

// Dry relaxation of a uniform uniaxial field without a field: repeated Euler
// steps carry it to the Landau equilibrium tr(Q^2) = -a_eff/(2c) = 1/6, S = 0.5,
// from below and from above, keeping its director.
TEST(Beris3D, UniformFieldRelaxesToLandauEquilibrium) {
  const RidiParams3D p = RidiParams3D::default_test();
  const std::array<double, 3> n{0.36, 0.48, 0.8};
  for (double s0 : {0.05, 0.9}) {
    QField3D q = QField3D::uniform(3, 2, 4, uniaxial(s0, n), 1.0);
    QField3D next = QField3D::zeros(3, 2, 4, 1.0);
    for (int step = 0; step < 3000; ++step) {
      dry_euler_step_3d(q, p, p.dt * step, p.dt, next);
      std::swap(q, next);
    }
    const std::array<double, 5> eq = uniaxial(0.5, n);
    for (Count k = 0; k < q.len(); ++k) {
      EXPECT_NEAR(trace_sq(q.record(k)), -p.a_eff() / (2.0 * p.c_landau), 1e-12) << s0;
      for (Count c = 0; c < 5; ++c) EXPECT_NEAR(q.data[5 * k + c], eq[c], 1e-12) << s0;
    }
    EXPECT_NEAR(q.mean_s(), 0.5, 1e-12) << s0;
  }
}

// A rigid rotation u = w x r has no strain (D = 0), so only the vorticity acts, and
// S is exactly the rate Omega Q - Q Omega at which Q turns with the fluid
// (Omega r = w x r). Checked on the interior, where the central differences of a
// linear flow are exact.
TEST(Beris3D, RigidRotationTurnsQ) {
  const Count n = 7;
  const double dx = 0.5;
  const QField3D q = QField3D::random_perturbation(n, n, n, dx, 0.5, 5);
  const std::array<std::array<double, 3>, 3> omegas{
      {{0.0, 0.0, 0.3}, {0.2, 0.0, 0.0}, {0.1, -0.2, 0.25}}};
  for (const std::array<double, 3>& w : omegas) {
    const Mat omega{{{0.0, -w[2], w[1]}, {w[2], 0.0, -w[0]}, {-w[1], w[0], 0.0}}};
    VelocityField3D u = VelocityField3D::zeros(n, n, n, dx);
    for (Count k = 0; k < u.len(); ++k) {
      const Count l = k % n;
      const Count j = (k / n) % n;
      const Count i = k / (n * n);
      const double r[3] = {static_cast<double>(i) * dx, static_cast<double>(j) * dx,
                           static_cast<double>(l) * dx};
      for (int a = 0; a < 3; ++a)
        u.data[3 * k + a] = (omega[a][0] * r[0] + omega[a][1] * r[1]) + omega[a][2] * r[2];
    }
    const QField3D s = co_rotation_3d(u, q, 0.8);
    EXPECT_EQ(s.dx, dx);
    for (Count i = 1; i + 1 < n; ++i) {
      for (Count j = 1; j + 1 < n; ++j) {
        for (Count l = 1; l + 1 < n; ++l) {
          const Count k = (i * n + j) * n + l;
          const Mat m = full(q.record(k));
          Mat turn{};
          for (int a = 0; a < 3; ++a)
            for (int b = 0; b < 3; ++b)
              for (int c = 0; c < 3; ++c)
                turn[a][b] += omega[a][c] * m[c][b] - m[a][c] * omega[c][b];
          const double expect[5] = {turn[0][0], turn[0][1], turn[0][2], turn[1][1], turn[1][2]};
          for (Count c = 0; c < 5; ++c) EXPECT_NEAR(s.data[5 * k + c], expect[c], 1e-14);
        }
      }
    }
  }
}

// A uniform flow has no gradient, so S = 0 and only the advection acts: a mode
// sin(k z) moved by uz changes at the central-difference rate -uz cos(k z) sin(k dx)/dx,
// and a field that varies only across the flow is not changed at all.
TEST(Beris3D, UniformFlowOnlyAdvects) {
  RidiParams3D p = RidiParams3D::default_test();
  const QField3D q = QField3D::random_perturbation(4, 3, 5, 1.0, 0.5, 8);
  const VelocityField3D u = VelocityField3D::uniform(4, 3, 5, {0.3, -0.2, 0.5}, 1.0);
  for (double x : co_rotation_3d(u, q, 0.9).data) EXPECT_EQ(x, 0.0);

  p.k_r = 0.0;
  p.a_landau = 0.0;
  p.zeta_eff = 0.0;
  p.c_landau = 0.0;
  const Count nz = 9;
  const double dx = 0.4;
  const double kz = 2.0 * M_PI / (static_cast<double>(nz) * dx);
  QField3D mode = QField3D::zeros(2, 3, nz, dx);
  for (Count k = 0; k < mode.len(); ++k)
    for (Count c = 0; c < 5; ++c)
      mode.data[5 * k + c] = (1.0 + c) * std::sin(kz * dx * static_cast<double>(k % nz));
  const VelocityField3D uz = VelocityField3D::uniform(2, 3, nz, {0.0, 0.0, 0.6}, dx);
  const QField3D r = beris_edwards_rhs_3d(mode, &uz, p, 0.0);
  for (Count k = 0; k < r.len(); ++k) {
    const double z = kz * dx * static_cast<double>(k % nz);
    for (Count c = 0; c < 5; ++c) {
      EXPECT_NEAR(r.data[5 * k + c], -0.6 * (1.0 + c) * std::cos(z) * std::sin(kz * dx) / dx,
                  1e-14);
    }
  }
  const VelocityField3D ux = VelocityField3D::uniform(2, 3, nz, {1.5, 0.0, 0.0}, dx);
  EXPECT_EQ(beris_edwards_rhs_3d(mode, &ux, p, 0.0).data,
            beris_edwards_rhs_3d(mode, nullptr, p, 0.0).data);
}

// Fields on different grids are refused with both sizes named, before any read;
// so is a step whose output is its input or has another size.
TEST(Beris3D, MismatchedGridsPanic) {
  const RidiParams3D p = RidiParams3D::default_test();
  const QField3D q = QField3D::random_perturbation(4, 5, 6, 1.0, 0.3, 1);
  for (const VelocityField3D& u :
       {VelocityField3D::zeros(5, 5, 6, 1.0), VelocityField3D::zeros(4, 3, 6, 1.0),
        VelocityField3D::zeros(4, 5, 1, 1.0), VelocityField3D::zeros(0, 0, 0, 1.0)}) {
    QField3D out = QField3D::zeros(4, 5, 6, 1.0);
    EXPECT_THROW(co_rotation_3d(u, q, 0.5), Panic);
    EXPECT_THROW(beris_edwards_rhs_3d(q, &u, p, 0.0), Panic);
    EXPECT_THROW(flow_euler_step_3d(q, u, p, 0.0, 0.1, out), Panic);
  }
  try {
    EulerIntegrator3D{}.step(q, QField3D::zeros(4, 5, 7, 1.0), 0.1);
    ADD_FAILURE() << "no panic";
  } catch (const Panic& e) {
    const std::string what = e.what();
    EXPECT_NE(what.find("left: 6"), std::string::npos) << what;
    EXPECT_NE(what.find("right: 7"), std::string::npos) << what;
  }
  QField3D small = QField3D::zeros(4, 5, 5, 1.0);
  EXPECT_THROW(dry_euler_step_3d(q, p, 0.0, 0.1, small), Panic);
  QField3D same = q;
  EXPECT_THROW(dry_euler_step_3d(same, p, 0.0, 0.1, same), Panic);
}
