// Physics and failure modes of the 3D ETD1 Cahn-Hilliard step.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <numbers>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "lodestra_core/panic.hpp"
#include "lodestra_core/params3d.hpp"
#include "lodestra_fields/fields3d.hpp"
#include "lodestra_solver/ch_3d.hpp"
#include "same_bits.hpp"

using lodestra_core::Panic;
using lodestra_core::RidiParams3D;
using lodestra_fields::Count;
using lodestra_fields::QField3D;
using lodestra_fields::ScalarField3D;
using namespace lodestra_solver;

namespace {

std::vector<double> random_values(Count n, double offset, double amplitude, std::uint64_t seed) {
  std::mt19937_64 gen(seed);
  std::uniform_real_distribution<double> u(-amplitude, amplitude);
  std::vector<double> v(n);
  for (double& x : v) x = offset + u(gen);
  return v;
}

ScalarField3D field(Count nx, Count ny, Count nz, double dx, std::vector<double> data) {
  return ScalarField3D{.nx = nx, .ny = ny, .nz = nz, .dx = dx, .data = std::move(data)};
}

QField3D q_field(Count nx, Count ny, Count nz, double dx, double amplitude, std::uint64_t seed) {
  return QField3D{.nx = nx,
                  .ny = ny,
                  .nz = nz,
                  .dx = dx,
                  .data = random_values(5 * nx * ny * nz, 0.0, amplitude, seed)};
}

RidiParams3D ch_params() {
  RidiParams3D p{};
  p.m_l = 0.6;
  p.a_ch = 0.9;
  p.b_ch = 1.2;
  p.chi_ms = 0.7;
  p.kappa_ch = 0.5;
  return p;
}

double mean(const std::vector<double>& v) {
  double s = -0.0;
  for (double x : v) s += x;
  return s / static_cast<double>(v.size());
}

}  // namespace

TEST(ChStep3D, MeanIsConservedWithCoupling) {
  const RidiParams3D p = ch_params();
  for (auto [nx, ny, nz] :
       {std::tuple<Count, Count, Count>{16, 12, 8}, {5, 7, 3}, {2, 2, 2}, {1, 1, 6}}) {
    ScalarField3D phi = field(nx, ny, nz, 0.8, random_values(nx * ny * nz, 0.2, 0.5, nx + nz));
    const QField3D q = q_field(nx, ny, nz, 0.8, 0.4, 3);
    const double m0 = mean(phi.data);
    for (int step = 0; step < 10; ++step) ch_step_etd_3d_into(phi, q, p, 0.05, phi);
    EXPECT_NEAR(mean(phi.data), m0, 1e-14) << nx << "x" << ny << "x" << nz;
  }
}

TEST(ChStep3D, SingleModeEvolvesByTheExactFactor) {
  // Q = 0, b_ch = 0: M = m_l a_ch phi, so a mode goes to (E + phi_1 (-k^2 m_l a_ch)) phi with
  // L = -(m_l kappa) k^4, E = exp(dt L), phi_1 = (E - 1)/L over k = sin(2 pi m / n)/dx.
  RidiParams3D p = ch_params();
  p.b_ch = 0.0;
  const Count nx = 12, ny = 8, nz = 10;
  const double dx = 0.7, dt = 0.2;
  for (auto [mx, my, mz] : {std::tuple<int, int, int>{1, 0, 0}, {3, 2, 1}, {0, 0, 4}, {5, 1, 2}}) {
    const double kx = std::sin(2.0 * std::numbers::pi * mx / nx) / dx;
    const double ky = std::sin(2.0 * std::numbers::pi * my / ny) / dx;
    const double kz = std::sin(2.0 * std::numbers::pi * mz / nz) / dx;
    const double k2 = kx * kx + ky * ky + kz * kz;
    const double l = -(p.m_l * p.kappa_ch) * k2 * k2;
    const double e = std::exp(dt * l);
    const double factor = e + (e - 1.0) / l * (-k2 * p.m_l * p.a_ch);
    std::vector<double> v(nx * ny * nz);
    for (Count k = 0; k < v.size(); ++k) {
      const double arg = 2.0 * std::numbers::pi *
                         (mx * (k / (ny * nz)) / double(nx) + my * (k / nz % ny) / double(ny) +
                          mz * (k % nz) / double(nz));
      v[k] = 0.3 * std::cos(arg + 0.4);
    }
    const ScalarField3D phi = field(nx, ny, nz, dx, v);
    const ScalarField3D out = ch_step_etd_3d(phi, q_field(nx, ny, nz, dx, 0.0, 1), p, dt);
    for (Count k = 0; k < v.size(); ++k) EXPECT_NEAR(out.data[k], factor * v[k], 1e-14);
  }
}

TEST(ChStep3D, ZeroStepAndUniformFieldsLeavePhiAlone) {
  const RidiParams3D p = ch_params();
  const ScalarField3D phi = field(8, 6, 5, 1.0, random_values(240, 0.1, 0.5, 1));
  const ScalarField3D same = ch_step_etd_3d(phi, q_field(8, 6, 5, 1.0, 0.6, 2), p, 0.0);
  for (Count k = 0; k < 240; ++k) EXPECT_NEAR(same.data[k], phi.data[k], 1e-15);
  const ScalarField3D flat = field(6, 4, 3, 0.5, std::vector<double>(72, 0.37));
  const ScalarField3D after = ch_step_etd_3d(flat, q_field(6, 4, 3, 0.5, 0.0, 1), p, 0.1);
  EXPECT_EQ(after.nz, 3u);
  EXPECT_EQ(after.dx, 0.5);
  for (double x : after.data) EXPECT_NEAR(x, 0.37, 1e-15);
}

TEST(ChStep3D, NyquistAndLongWaveModesTakeTheEulerBranch) {
  // On a 2x2x2 grid every index is 0 or n/2, so every k^2 is of rounding size: with
  // kappa_ch = 0 the ETD1 factor (E - 1)/L would be 0/0, the Euler step stays finite.
  RidiParams3D p = ch_params();
  p.kappa_ch = 0.0;
  const ScalarField3D phi = field(2, 2, 2, 1.0, random_values(8, 0.2, 0.5, 4));
  const ScalarField3D out = ch_step_etd_3d(phi, q_field(2, 2, 2, 1.0, 0.5, 5), p, 0.1);
  for (Count k = 0; k < 8; ++k) EXPECT_NEAR(out.data[k], phi.data[k], 1e-15);
  // dx = 1e4 makes k(1 of 4) = 1e-4, k^4 = 1e-16: the step is phi^ (1 - dt k^2 m_l a_ch)
  // exactly, where ETD1 would also apply exp(dt L).
  RidiParams3D q = ch_params();
  q.b_ch = 0.0;
  const double dt = 1e9;
  std::vector<double> v(4);
  for (Count i = 0; i < 4; ++i) v[i] = std::cos(std::numbers::pi * 0.5 * i);
  const ScalarField3D wave = field(4, 1, 1, 1e4, v);
  const ScalarField3D next = ch_step_etd_3d(wave, q_field(4, 1, 1, 1e4, 0.0, 1), q, dt);
  const double k2 = 1e-8;
  for (Count i = 0; i < 4; ++i) {
    EXPECT_NEAR(next.data[i], v[i] * (1.0 - dt * k2 * q.m_l * q.a_ch), 1e-12);
  }
}

TEST(ChStep3D, ShortQPanicsAndIntoFormMatches) {
  const RidiParams3D p = ch_params();
  const ScalarField3D phi = field(6, 5, 4, 0.9, random_values(120, 0.0, 0.5, 7));
  const QField3D q = q_field(6, 5, 4, 0.9, 0.5, 8);
  QField3D short_q = q;
  short_q.data.resize(5 * 119);
  try {
    ch_step_etd_3d(phi, short_q, p, 0.1);
    ADD_FAILURE() << "no panic";
  } catch (const Panic& e) {
    EXPECT_NE(std::string(e.what()).find("index out of bounds"), std::string::npos) << e.what();
  }
  // A longer q is read only for phi's vertices.
  QField3D long_q = q;
  long_q.data.resize(5 * 200, 9.0);
  const ScalarField3D out = ch_step_etd_3d(phi, q, p, 0.1);
  EXPECT_TRUE(same_bits(ch_step_etd_3d(phi, long_q, p, 0.1).data, out.data));
  ScalarField3D reused = field(6, 5, 4, 0.9, std::vector<double>(120, 5.0));
  ch_step_etd_3d_into(phi, q, p, 0.1, reused);
  EXPECT_TRUE(same_bits(reused.data, out.data));
  ChWorkspace3D fresh(6, 5, 4, 0.9);
  ScalarField3D w;
  fresh.step(phi, q, p, 0.1, w);
  EXPECT_TRUE(same_bits(w.data, out.data));
  // A changed step length rebuilds the cached factors.
  fresh.step(phi, q, p, 0.2, w);
  EXPECT_TRUE(same_bits(w.data, ch_step_etd_3d(phi, q, p, 0.2).data));
}
