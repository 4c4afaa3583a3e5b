// Physics and edge cases of the spectral Stokes solver.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numbers>
#include <tuple>
#include <vector>

#include "lodestra_core/panic.hpp"
#include "lodestra_core/params.hpp"
#include "lodestra_fields/fields2d.hpp"
#include "lodestra_solver/fft.hpp"
#include "lodestra_solver/spectral2d.hpp"
#include "lodestra_solver/stokes_2d.hpp"
#include "same_bits.hpp"

using lodestra_core::Panic;
using lodestra_core::RidiParams;
using lodestra_fields::Count;
using lodestra_fields::QField2D;
using lodestra_fields::VelocityField2D;
using namespace lodestra_solver;

namespace {

double max_abs(const std::vector<double>& v) {
  double m = 0.0;
  for (double x : v) m = std::max(m, std::fabs(x));
  return m;
}

std::vector<double> scaled(const std::vector<double>& v, double f) {
  std::vector<double> out(v);
  for (double& x : out) x *= f;
  return out;
}

}  // namespace

TEST(Stokes, UniformAndZeroFieldsDriveNoFlow) {
  const RidiParams p = RidiParams::default_test();
  for (auto [nx, ny] : {std::pair<Count, Count>{16, 16}, {7, 12}, {5, 3}}) {
    const VelocityField2D u = stokes_solve(QField2D::uniform(nx, ny, {0.3, -0.2}, 0.7), p);
    EXPECT_LT(max_abs(u.data), 1e-14);
    const VelocityField2D z = stokes_solve(QField2D::zeros(nx, ny, 0.7), p);
    for (double x : z.data) EXPECT_EQ(x, 0.0);
  }
}

TEST(Stokes, VelocityIsLinearInZetaAndInverseEta) {
  // Scaling zeta or eta by two scales every mode by an exact power of two.
  const QField2D q = QField2D::random_perturbation(24, 18, 0.5, 0.4, 17);
  RidiParams p = RidiParams::default_test();
  p.zeta_eff = 1.3;
  p.eta = 0.9;
  const VelocityField2D base = stokes_solve(q, p);
  EXPECT_GT(max_abs(base.data), 1e-3);
  RidiParams p2 = p;
  p2.zeta_eff = 2.6;
  EXPECT_TRUE(same_bits(stokes_solve(q, p2).data, scaled(base.data, 2.0)));
  RidiParams p3 = p;
  p3.eta = 1.8;
  EXPECT_TRUE(same_bits(stokes_solve(q, p3).data, scaled(base.data, 0.5)));
  RidiParams p0 = p;
  p0.zeta_eff = 0.0;
  EXPECT_EQ(max_abs(stokes_solve(q, p0).data), 0.0);
}

TEST(Stokes, SingleShearModeGivesTheAnalyticFlow) {
  // Qxy = A cos(k x) drives uy = -(zeta A / (eta k)) sin(k x), ux = 0.
  RidiParams p = RidiParams::default_test();
  p.zeta_eff = 1.5;
  p.eta = 0.8;
  const double a = 0.25;
  for (auto [nx, ny, dx, mode] :
       {std::tuple<Count, Count, double, int>{32, 16, 0.5, 1}, {32, 16, 0.5, 3}, {15, 4, 1.3, 2}}) {
    const double k = 2.0 * std::numbers::pi * mode / (static_cast<double>(nx) * dx);
    QField2D q = QField2D::zeros(nx, ny, dx);
    for (Count i = 0; i < nx; ++i) {
      for (Count j = 0; j < ny; ++j) q.data[2 * (i * ny + j) + 1] = a * std::cos(k * i * dx);
    }
    const VelocityField2D u = stokes_solve(q, p);
    const double amp = p.zeta_eff * a / (p.eta * k);
    for (Count i = 0; i < nx; ++i) {
      for (Count j = 0; j < ny; ++j) {
        const Count v = i * ny + j;
        EXPECT_NEAR(u.data[2 * v], 0.0, 1e-13 * amp);
        EXPECT_NEAR(u.data[2 * v + 1], -amp * std::sin(k * i * dx), 1e-12 * amp);
      }
    }
  }
}

TEST(Stokes, FlowIsDivergenceFreeModeByMode) {
  const RidiParams p = RidiParams::default_test();
  for (auto [nx, ny] : {std::pair<Count, Count>{16, 12}, {9, 7}, {10, 5}, {2, 8}}) {
    const double dx = 0.6;
    const QField2D q = QField2D::random_perturbation(nx, ny, dx, 0.5, nx * 100 + ny);
    const VelocityField2D u = stokes_solve(q, p);
    Spectral2D spectral(nx, ny, dx);
    fft::RealBuffer ux(nx * ny), uy(nx * ny);
    for (Count k = 0; k < nx * ny; ++k) {
      ux[k] = u.data[2 * k];
      uy[k] = u.data[2 * k + 1];
    }
    fft::ComplexBuffer ux_hat(spectral.modes()), uy_hat(spectral.modes());
    spectral.forward(ux, ux_hat);
    spectral.forward(uy, uy_hat);
    const double scale = max_abs(u.data) * static_cast<double>(nx * ny) * (1.0 / dx);
    Count checked = 0;
    for (Count i = 0; i < nx; ++i) {
      for (Count j = 0; j < spectral.half_ny(); ++j) {
        if (is_nyquist(i, nx) || is_nyquist(j, ny)) continue;
        const Count m = i * spectral.half_ny() + j;
        const fft::Complex div = spectral.kx()[i] * ux_hat[m] + spectral.ky()[j] * uy_hat[m];
        EXPECT_LT(std::abs(div), 1e-13 * scale) << nx << "x" << ny << " mode " << i << "," << j;
        ++checked;
      }
    }
    EXPECT_GT(checked, 0u);
  }
}

TEST(Stokes, OutputTakesTheFieldsGridNotTheParameters) {
  RidiParams p = RidiParams::default_test();
  const QField2D q = QField2D::random_perturbation(12, 10, 0.75, 0.5, 4);
  const VelocityField2D u = stokes_solve(q, p);
  EXPECT_EQ(u.nx, 12u);
  EXPECT_EQ(u.ny, 10u);
  EXPECT_EQ(u.dx, 0.75);
  p.nx = 3;
  p.ny = 99;
  p.dx = 40.0;
  EXPECT_TRUE(same_bits(stokes_solve(q, p).data, u.data));
}

TEST(Stokes, DegenerateGridsAndNonFiniteInputs) {
  const RidiParams p = RidiParams::default_test();
  for (auto [nx, ny] :
       {std::pair<Count, Count>{0, 0}, {0, 5}, {5, 0}, {1, 1}, {1, 2}, {2, 1}, {2, 2}, {1, 7}}) {
    const QField2D q = QField2D::random_perturbation(nx, ny, 1.0, 0.5, 8);
    const VelocityField2D u = stokes_solve(q, p);
    EXPECT_EQ(u.nx, nx);
    EXPECT_EQ(u.ny, ny);
    ASSERT_EQ(u.data.size(), 2 * nx * ny);
    for (double x : u.data) EXPECT_TRUE(std::isfinite(x));
  }
  QField2D q = QField2D::random_perturbation(8, 8, 1.0, 0.5, 8);
  q.data[19] = std::numeric_limits<double>::quiet_NaN();
  const VelocityField2D u = stokes_solve(q, p);
  ASSERT_EQ(u.data.size(), 128u);
  EXPECT_TRUE(std::isnan(u.data[0]) || std::isnan(u.data[1]));
  // eta = 0 divides every non-zero mode by zero: non-finite, no crash.
  RidiParams p0 = p;
  p0.eta = 0.0;
  const VelocityField2D w = stokes_solve(QField2D::random_perturbation(6, 6, 1.0, 0.5, 2), p0);
  EXPECT_FALSE(std::isfinite(w.data[0]));
}

TEST(Stokes, WorkspaceChecksItsGridAndFollowsTheFieldsSpacing) {
  const RidiParams p = RidiParams::default_test();
  StokesWorkspace2D ws(16, 12, 1.0);
  VelocityField2D out;
  EXPECT_THROW(ws.solve(QField2D::zeros(12, 16, 1.0), p, out), Panic);
  QField2D broken = QField2D::zeros(16, 12, 1.0);
  broken.data.pop_back();
  EXPECT_THROW(ws.solve(broken, p, out), Panic);
  // A field with another spacing gets wavenumbers for that spacing.
  const QField2D q = QField2D::random_perturbation(16, 12, 0.4, 0.5, 6);
  ws.solve(q, p, out);
  EXPECT_EQ(out.dx, 0.4);
  EXPECT_TRUE(same_bits(out.data, stokes_solve(q, p).data));
  StokesWorkspace2D moved = std::move(ws);
  VelocityField2D again;
  moved.solve(q, p, again);
  EXPECT_TRUE(same_bits(again.data, out.data));
}

// stokes_solve keeps the workspaces of recent grids: interleaving grids and spacings, and
// cycling through more grids than it keeps, gives exactly what a fresh workspace gives.
TEST(StokesCache, ResultsDoNotDependOnWhatWasSolvedBefore) {
  const RidiParams params = RidiParams::default_test();
  const std::vector<std::tuple<Count, Count, double>> grids = {
      {16, 12, 1.0}, {9, 8, 0.5},   {16, 12, 0.7}, {5, 5, 1.0}, {7, 3, 1.0},
      {2, 2, 1.0},   {16, 12, 1.0}, {0, 4, 1.0},   {9, 8, 0.5}, {600, 600, 1.0}};
  for (int round = 0; round < 2; ++round) {
    for (const auto& [nx, ny, dx] : grids) {
      const QField2D q = QField2D::random_perturbation(nx, ny, dx, 0.4, nx * 31 + ny);
      StokesWorkspace2D fresh(nx, ny, dx);
      VelocityField2D expected;
      fresh.solve(q, params, expected);
      const VelocityField2D got = stokes_solve(q, params);
      EXPECT_TRUE(same_bits(got.data, expected.data)) << nx << " x " << ny << " dx " << dx;
      EXPECT_EQ(got.nx, nx);
      EXPECT_EQ(got.dx, dx);
    }
  }
}
