// The ETD1 Cahn-Hilliard step and the K0 transfer map.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <numbers>
#include <string>
#include <tuple>
#include <vector>

#include "lodestra_core/panic.hpp"
#include "lodestra_core/params.hpp"
#include "lodestra_fields/fields2d.hpp"
#include "lodestra_solver/ch_2d.hpp"
#include "lodestra_solver/stokes_2d.hpp"
#include "same_bits.hpp"

using lodestra_core::Panic;
using lodestra_core::RidiParams;
using lodestra_fields::Count;
using lodestra_fields::QField2D;
using lodestra_fields::ScalarField2D;
using lodestra_fields::VelocityField2D;
using namespace lodestra_solver;

namespace {

double mean(const std::vector<double>& v) {
  double s = 0.0;
  for (double x : v) s += x;
  return s / static_cast<double>(v.size());
}

ScalarField2D random_phi(Count nx, Count ny, double dx, double amplitude, std::uint64_t seed) {
  const QField2D r = QField2D::random_perturbation(nx, ny, dx, amplitude, seed);
  ScalarField2D phi = ScalarField2D::zeros(nx, ny, dx);
  for (Count k = 0; k < nx * ny; ++k) phi.data[k] = 0.2 + r.data[2 * k];
  return phi;
}

RidiParams ch_params() {
  RidiParams p = RidiParams::default_test();
  p.dt = 0.05;
  p.m_l = 0.6;
  p.a_ch = 0.9;
  p.kappa_ch = 0.5;
  p.b_ch = 1.2;
  p.chi_ms = 0.7;
  return p;
}

std::string panic_text(const std::function<void()>& f) {
  try {
    f();
  } catch (const Panic& e) {
    return e.what();
  }
  return "";
}

}  // namespace

TEST(ChStep, MeanIsConservedWithAdvectionAndCoupling) {
  const RidiParams p = ch_params();
  for (auto [nx, ny] : {std::pair<Count, Count>{32, 24}, {9, 13}, {2, 2}, {1, 6}}) {
    ScalarField2D phi = random_phi(nx, ny, 0.8, 0.5, nx + ny);
    const QField2D q_lip = QField2D::random_perturbation(nx, ny, 0.8, 0.6, 3);
    const VelocityField2D v = stokes_solve(QField2D::random_perturbation(nx, ny, 0.8, 0.5, 4), p);
    const double m0 = mean(phi.data);
    ChWorkspace2D ws(nx, ny, 0.8);
    for (int step = 0; step < 20; ++step) {
      ScalarField2D next;
      ws.step(phi, q_lip, v, p, next);
      phi = std::move(next);
    }
    EXPECT_NEAR(mean(phi.data), m0, 1e-14) << nx << "x" << ny;
  }
}

TEST(ChStep, SingleModeDecaysByTheExactFactor) {
  RidiParams p = ch_params();
  p.b_ch = 0.0;
  const Count nx = 24;
  const Count ny = 16;
  const double dx = 0.7;
  for (auto [mx, my] : {std::pair<int, int>{1, 0}, {3, 2}, {0, 8}, {12, 5}}) {
    const double kx = 2.0 * std::numbers::pi * mx / (nx * dx);
    const double ky = 2.0 * std::numbers::pi * my / (ny * dx);
    const double k2 = kx * kx + ky * ky;
    ScalarField2D phi = ScalarField2D::zeros(nx, ny, dx);
    for (Count i = 0; i < nx; ++i) {
      for (Count j = 0; j < ny; ++j) {
        phi.data[i * ny + j] = 0.3 * std::cos(kx * i * dx + ky * j * dx + 0.4);
      }
    }
    const ScalarField2D out =
        ch_step_etd(phi, QField2D::zeros(nx, ny, dx), VelocityField2D::zeros(nx, ny, dx), p);
    const double factor = std::exp(-p.dt * p.m_l * (p.a_ch * k2 + p.kappa_ch * k2 * k2));
    for (Count k = 0; k < nx * ny; ++k) {
      EXPECT_NEAR(out.data[k], factor * phi.data[k], 1e-14) << mx << "," << my;
    }
  }
}

TEST(ChStep, ZeroStepAndUniformFieldsLeavePhiAlone) {
  RidiParams p = ch_params();
  const ScalarField2D phi = random_phi(16, 10, 1.0, 0.5, 1);
  const QField2D q_lip = QField2D::random_perturbation(16, 10, 1.0, 0.6, 2);
  const VelocityField2D v = stokes_solve(QField2D::random_perturbation(16, 10, 1.0, 0.5, 3), p);
  RidiParams p0 = p;
  p0.dt = 0.0;
  const ScalarField2D same = ch_step_etd(phi, q_lip, v, p0);
  for (Count k = 0; k < phi.data.size(); ++k) EXPECT_NEAR(same.data[k], phi.data[k], 1e-15);

  const ScalarField2D flat = ScalarField2D::uniform(12, 9, 0.5, 0.37);
  const ScalarField2D after =
      ch_step_etd(flat, QField2D::zeros(12, 9, 0.5), VelocityField2D::zeros(12, 9, 0.5), p);
  EXPECT_EQ(after.nx, 12u);
  EXPECT_EQ(after.ny, 9u);
  EXPECT_EQ(after.dx, 0.5);
  for (double x : after.data) EXPECT_NEAR(x, 0.37, 1e-15);
}

TEST(ChStep, TinyStepsUseTheSeriesForPhiOne) {
  // With phi = 0 the step is N^ phi_1 on every non-mean mode, and phi_1 -> dt as dt L -> 0.
  // (E - 1)/L would lose most digits to cancellation at |dt L| ~ 1e-13.
  RidiParams p = ch_params();
  p.dt = 1e-13;
  const Count nx = 8;
  const Count ny = 8;
  const ScalarField2D phi = ScalarField2D::zeros(nx, ny, 1.0);
  const QField2D q_lip = QField2D::random_perturbation(nx, ny, 1.0, 0.8, 12);
  const ScalarField2D out = ch_step_etd(phi, q_lip, VelocityField2D::zeros(nx, ny, 1.0), p);
  // N = m_l lap(mu_nl), mu_nl = -2 chi |q|^2, whose mean is 0 (a Laplacian).
  ScalarField2D mu = ScalarField2D::zeros(nx, ny, 1.0);
  for (Count k = 0; k < nx * ny; ++k) {
    const double q1 = q_lip.data[2 * k];
    const double q2 = q_lip.data[2 * k + 1];
    mu.data[k] = -p.chi_ms * (2.0 * (q1 * q1 + q2 * q2));
  }
  const ScalarField2D lap = mu.laplacian();
  double scale = 0.0;
  for (Count k = 0; k < nx * ny; ++k)
    scale = std::max(scale, std::fabs(p.dt * p.m_l * lap.data[k]));
  ASSERT_GT(scale, 0.0);
  for (Count k = 0; k < nx * ny; ++k) {
    EXPECT_NEAR(out.data[k], p.dt * (p.m_l * lap.data[k]), 1e-9 * scale);
  }
}

TEST(ChStep, OperandsOnAnotherGridPanicWithoutReadingPastTheEnd) {
  const RidiParams p = ch_params();
  const ScalarField2D phi = random_phi(8, 6, 1.0, 0.3, 5);
  const VelocityField2D v = VelocityField2D::zeros(8, 6, 1.0);
  const std::string short_q =
      panic_text([&] { ch_step_etd(phi, QField2D::zeros(4, 6, 1.0), v, p); });
  EXPECT_NE(short_q.find("index out of bounds"), std::string::npos) << short_q;
  // Same vertex count, other shape.
  EXPECT_THROW(ch_step_etd(phi, QField2D::zeros(6, 8, 1.0), v, p), Panic);
  const std::string bad_v = panic_text(
      [&] { ch_step_etd(phi, QField2D::zeros(8, 6, 1.0), VelocityField2D::zeros(8, 5, 1.0), p); });
  EXPECT_NE(bad_v.find("assertion `left == right` failed"), std::string::npos) << bad_v;
  ChWorkspace2D ws(8, 6, 1.0);
  ScalarField2D out;
  EXPECT_THROW(ws.step(random_phi(6, 8, 1.0, 0.3, 5), QField2D::zeros(6, 8, 1.0),
                       VelocityField2D::zeros(6, 8, 1.0), p, out),
               Panic);
}

TEST(ChStep, ReusedWorkspacesMatchFreshOnesBitForBit) {
  // The cached plans and ETD factors (in a workspace, and behind ch_step_etd) must follow
  // dt, dx and the grid; the output may be phi itself.
  RidiParams p = ch_params();
  RidiParams p2 = p;
  p2.dt = 0.11;
  const ScalarField2D phi = random_phi(20, 14, 0.9, 0.5, 21);
  const QField2D q_lip = QField2D::random_perturbation(20, 14, 0.9, 0.5, 22);
  const VelocityField2D v = stokes_solve(QField2D::random_perturbation(20, 14, 0.9, 0.5, 23), p);
  ScalarField2D phi2 = phi;
  phi2.dx = 1.3;
  const QField2D q2{20, 14, 1.3, q_lip.data};
  auto fresh = [](const ScalarField2D& f, const QField2D& q, const VelocityField2D& u,
                  const RidiParams& params) {
    ChWorkspace2D ws(f.nx, f.ny, f.dx);
    ScalarField2D out;
    ws.step(f, q, u, params, out);
    return out.data;
  };
  const std::vector<double> want_p = fresh(phi, q_lip, v, p);
  const std::vector<double> want_p2 = fresh(phi, q_lip, v, p2);
  const std::vector<double> want_dx = fresh(phi2, q2, v, p2);
  EXPECT_FALSE(same_bits(want_p, want_p2));

  ChWorkspace2D ws(20, 14, 0.9);
  ScalarField2D out;
  ws.step(phi, q_lip, v, p, out);
  EXPECT_TRUE(same_bits(out.data, want_p));
  ws.step(phi, q_lip, v, p2, out);
  EXPECT_TRUE(same_bits(out.data, want_p2));
  ws.step(phi2, q2, v, p2, out);
  EXPECT_TRUE(same_bits(out.data, want_dx));
  ScalarField2D inplace = phi;
  ws.step(inplace, q_lip, v, p, inplace);
  EXPECT_TRUE(same_bits(inplace.data, want_p));

  const ScalarField2D other = random_phi(6, 10, 0.9, 0.5, 3);
  const QField2D q_other = QField2D::zeros(6, 10, 0.9);
  const VelocityField2D v_other = VelocityField2D::zeros(6, 10, 0.9);
  for (int round = 0; round < 2; ++round) {
    EXPECT_TRUE(same_bits(ch_step_etd(phi, q_lip, v, p).data, want_p));
    EXPECT_TRUE(same_bits(ch_step_etd(phi, q_lip, v, p2).data, want_p2));
    EXPECT_TRUE(same_bits(ch_step_etd(phi2, q2, v, p2).data, want_dx));
    EXPECT_TRUE(
        same_bits(ch_step_etd(other, q_other, v_other, p).data, fresh(other, q_other, v_other, p)));
  }
}

TEST(ChStep, DegenerateGrids) {
  const RidiParams p = ch_params();
  for (auto [nx, ny] : {std::pair<Count, Count>{0, 0}, {0, 4}, {3, 0}, {1, 1}, {2, 1}, {2, 2}}) {
    const ScalarField2D phi = random_phi(nx, ny, 1.0, 0.3, 2);
    const ScalarField2D out =
        ch_step_etd(phi, QField2D::zeros(nx, ny, 1.0), VelocityField2D::zeros(nx, ny, 1.0), p);
    EXPECT_EQ(out.nx, nx);
    EXPECT_EQ(out.ny, ny);
    ASSERT_EQ(out.data.size(), nx * ny);
    for (double x : out.data) EXPECT_TRUE(std::isfinite(x));
  }
}

// ---------------------------------------------------------------------------------------
// K0 transfer map

namespace {

std::int64_t window(double xi, double dx, Count nx, Count ny) {
  const double c = std::ceil((6.0 * xi) / dx);
  std::int64_t r = std::isnan(c)                ? 0
                   : c >= 9223372036854775808.0 ? INT64_MAX
                                                : static_cast<std::int64_t>(c);
  r = std::min<std::int64_t>(r, nx / 2);
  return std::min<std::int64_t>(r, ny / 2);
}

// The map written as its formula: one loop per output vertex, K0 evaluated per term.
QField2D plain_k0_map(const QField2D& q, double xi) {
  const Count nx = q.nx;
  const Count ny = q.ny;
  const double dx = q.dx;
  QField2D out = QField2D::zeros(nx, ny, dx);
  const std::int64_t r = window(xi, dx, nx, ny);
  const double norm = xi * (xi * 6.283185307179586);
  const auto n_x = static_cast<std::int64_t>(nx);
  const auto n_y = static_cast<std::int64_t>(ny);
  for (std::int64_t i = 0; i < n_x; ++i) {
    for (std::int64_t j = 0; j < n_y; ++j) {
      double s1 = 0.0;
      double s2 = 0.0;
      for (std::int64_t a = -r; a < r; ++a) {
        for (std::int64_t b = -r; b < r; ++b) {
          const double rr = std::sqrt((dx * a) * (dx * a) + (dx * b) * (dx * b));
          if (rr < dx * 0.5) continue;
          const double k = bessel_k0(rr / xi);
          const std::int64_t si = ((i + a) % n_x + n_x) % n_x;
          const std::int64_t sj = ((j + b) % n_y + n_y) % n_y;
          s1 += k * q.data[2 * (si * n_y + sj)];
          s2 += k * q.data[2 * (si * n_y + sj) + 1];
        }
      }
      out.data[2 * (i * n_y + j)] = ((s1 * dx) * dx) / norm;
      out.data[2 * (i * n_y + j) + 1] = ((s2 * dx) * dx) / norm;
    }
  }
  return out;
}

RidiParams with_xi(double xi) {
  RidiParams p = RidiParams::default_test();
  p.xi_l = xi;
  return p;
}

}  // namespace

TEST(BesselK0, KnownValuesBranchesAndNonPositiveArguments) {
  const std::pair<double, double> known[] = {{0.1, 2.4270690247}, {1.0, 0.4210244382},
                                             {2.0, 0.1138938727}, {5.0, 0.0036910983},
                                             {0.5, 0.9244190712}, {3.0, 0.0347395044}};
  for (auto [x, want] : known) EXPECT_NEAR(bessel_k0(x), want, 1e-7 * want) << x;
  // x = 2 belongs to the small-argument branch: continuous from below, a jump of the
  // approximations' size (~8e-9) just above.
  EXPECT_LT(std::fabs(bessel_k0(2.0) - bessel_k0(std::nextafter(2.0, 0.0))), 1e-13);
  EXPECT_GT(std::fabs(bessel_k0(std::nextafter(2.0, 3.0)) - bessel_k0(2.0)), 1e-9);
  EXPECT_EQ(bessel_k0(0.0), std::numeric_limits<double>::infinity());
  EXPECT_EQ(bessel_k0(-1.0), std::numeric_limits<double>::infinity());
  EXPECT_TRUE(std::isnan(bessel_k0(std::nan(""))));
  EXPECT_EQ(bessel_k0(1e6), 0.0);
}

TEST(K0Map, FastKernelEqualsThePlainFormulaBitForBit) {
  for (auto [nx, ny, dx, xi] : {std::tuple<Count, Count, double, double>{16, 12, 1.0, 0.7},
                                {13, 9, 0.5, 0.3},
                                {10, 10, 1.0, 50.0},
                                {7, 11, 0.8, 2.0},
                                {3, 5, 1.0, 1.0},
                                {2, 2, 1.0, 1.0},
                                {1, 4, 1.0, 1.0},
                                {6, 4, 0.9, 0.16}}) {
    const QField2D q = QField2D::random_perturbation(nx, ny, dx, 0.5, nx * 31 + ny);
    const QField2D fast = k0_convolution(q, with_xi(xi));
    const QField2D slow = plain_k0_map(q, xi);
    EXPECT_EQ(fast.nx, nx);
    EXPECT_EQ(fast.ny, ny);
    EXPECT_EQ(fast.dx, dx);
    EXPECT_TRUE(same_bits(fast.data, slow.data)) << nx << "x" << ny << " xi " << xi;
  }
}

TEST(K0Map, WindowRoundsUpAndIsLimitedByTheGrid) {
  // The response to a unit Q_rot at the origin is non-zero at output vertex (i, 0) exactly
  // when the offset a = -i (mod nx) lies in -R .. R-1.
  const Count nx = 40;
  const Count ny = 40;
  auto reach = [&](double xi, double dx, Count gx, Count gy) {
    QField2D q = QField2D::zeros(gx, gy, dx);
    q.data[0] = 1.0;
    const QField2D out = k0_convolution(q, with_xi(xi));
    std::vector<bool> hit(gx);
    for (Count i = 0; i < gx; ++i) hit[i] = out.data[2 * (i * gy)] != 0.0;
    return hit;
  };
  // 6 xi / dx = 6 exactly: R = 6; i = R (a = -6) is inside, i = nx - R (a = +6) is not.
  std::vector<bool> hit = reach(1.0, 1.0, nx, ny);
  EXPECT_TRUE(hit[6]);
  EXPECT_FALSE(hit[7]);
  EXPECT_TRUE(hit[nx - 5]);
  EXPECT_FALSE(hit[nx - 6]);
  EXPECT_FALSE(hit[0]);  // the vertex itself never contributes
  // 6.06 rounds up to 7.
  hit = reach(1.01, 1.0, nx, ny);
  EXPECT_TRUE(hit[7]);
  EXPECT_FALSE(hit[8]);
  // Limited by ny/2 = 3 on an 8 x 6 grid: offsets -3 .. 2 along x.
  hit = reach(100.0, 1.0, 8, 6);
  const std::vector<bool> want{false, true, true, true, false, false, true, true};
  EXPECT_EQ(hit, want);
  // A quotient beyond the 64-bit range (6e19) saturates and is then limited by the grid.
  hit = reach(1e10, 1e-9, 8, 8);
  const std::vector<bool> all_but_self{false, true, true, true, true, true, true, true};
  EXPECT_EQ(hit, all_but_self);
}

TEST(K0Map, UniformFieldIsScaledByTheWindowSum) {
  const double dx = 0.8;
  const double xi = 0.9;
  const QField2D q = QField2D::uniform(20, 16, {0.3, -0.1}, dx);
  const QField2D out = k0_convolution(q, with_xi(xi));
  const std::int64_t r = window(xi, dx, 20, 16);
  double sum = 0.0;
  for (std::int64_t a = -r; a < r; ++a) {
    for (std::int64_t b = -r; b < r; ++b) {
      if (a == 0 && b == 0) continue;
      sum += bessel_k0(std::sqrt((dx * a) * (dx * a) + (dx * b) * (dx * b)) / xi);
    }
  }
  const double factor = dx * dx / (xi * xi * 2.0 * std::numbers::pi) * sum;
  for (Count k = 0; k < 320; ++k) {
    EXPECT_NEAR(out.data[2 * k], 0.3 * factor, 1e-13);
    EXPECT_NEAR(out.data[2 * k + 1], -0.1 * factor, 1e-13);
  }
}

TEST(K0Map, GridLimitedWindowCountsEveryOtherVertexOnce) {
  // Even square grid with 6 xi/dx >= nx/2 = ny/2: Q_lip(v) = dx^2/norm sum over all u != v of
  // K0(|minimal image of u - v| / xi) Q_rot(u).
  for (auto [n, dx, xi] :
       {std::tuple<std::int64_t, double, double>{8, 0.5, 3.0}, {6, 1.0, 0.5}, {2, 1.0, 0.2}}) {
    const QField2D q = QField2D::random_perturbation(n, n, dx, 0.5, 77 + n);
    const QField2D out = k0_convolution(q, with_xi(xi));
    const double norm = xi * xi * 2.0 * std::numbers::pi;
    auto wrap = [n](std::int64_t d) {
      d = ((d % n) + n) % n;
      return d >= n / 2 ? d - n : d;  // representative in -n/2 .. n/2 - 1
    };
    for (std::int64_t i = 0; i < n; ++i) {
      for (std::int64_t j = 0; j < n; ++j) {
        double s1 = 0.0, s2 = 0.0;
        for (std::int64_t u = 0; u < n; ++u) {
          for (std::int64_t w = 0; w < n; ++w) {
            if (u == i && w == j) continue;
            const double a = dx * wrap(u - i);
            const double b = dx * wrap(w - j);
            const double k = bessel_k0(std::sqrt(a * a + b * b) / xi);
            s1 += k * q.data[2 * (u * n + w)];
            s2 += k * q.data[2 * (u * n + w) + 1];
          }
        }
        const double tol = 1e-13 * (std::fabs(s1) + std::fabs(s2) + 1.0);
        EXPECT_NEAR(out.data[2 * (i * n + j)], dx * dx * s1 / norm, tol);
        EXPECT_NEAR(out.data[2 * (i * n + j) + 1], dx * dx * s2 / norm, tol);
      }
    }
  }
}

TEST(K0Map, DegenerateLengthsAndGridsReturnPromptly) {
  const QField2D q = QField2D::random_perturbation(64, 64, 1.0, 0.5, 3);
  const auto start = std::chrono::steady_clock::now();
  // xi = 0 and NaN: window 0, the normalisation is 0 or NaN, every value NaN.
  for (double xi : {0.0, std::nan("")}) {
    const QField2D out = k0_convolution(q, with_xi(xi));
    ASSERT_EQ(out.data.size(), q.data.size());
    for (double x : out.data) EXPECT_TRUE(std::isnan(x));
  }
  // xi < 0: the window is empty, so no K0 term is taken at all.
  for (double x : k0_convolution(q, with_xi(-2.0)).data) EXPECT_EQ(x, 0.0);
  // Huge xi (window limited by the grid) evaluates K0 near 0: large but finite.
  const QField2D wide =
      k0_convolution(QField2D::random_perturbation(6, 6, 1.0, 0.5, 3), with_xi(1e12));
  for (double x : wide.data) EXPECT_FALSE(std::isnan(x));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  for (auto [nx, ny] : {std::pair<Count, Count>{0, 0}, {0, 3}, {3, 0}, {1, 1}, {1, 5}, {2, 2}}) {
    const QField2D small = QField2D::uniform(nx, ny, {0.2, 0.1}, 1.0);
    const QField2D out = k0_convolution(small, with_xi(1.0));
    EXPECT_EQ(out.nx, nx);
    EXPECT_EQ(out.ny, ny);
    ASSERT_EQ(out.data.size(), 2 * nx * ny);
    EXPECT_TRUE(same_bits(out.data, plain_k0_map(small, 1.0).data));
  }
}
