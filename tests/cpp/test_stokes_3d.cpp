// The 3D Fourier conventions, the 3D Stokes solver and the 3D Cahn-Hilliard step against a
// slow reference (direct 1D transforms along z, y, x over the full complex spectrum, the
// per-mode formulas on every mode, the inverse as the real part times 1/N) and against the
// physics they must satisfy.

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdint>
#include <numbers>
#include <random>
#include <tuple>
#include <vector>

#include "lodestra_core/panic.hpp"
#include "lodestra_core/params3d.hpp"
#include "lodestra_fields/fields3d.hpp"
#include "lodestra_solver/ch_3d.hpp"
#include "lodestra_solver/spectral3d.hpp"
#include "lodestra_solver/stokes_3d.hpp"
#include "same_bits.hpp"

using lodestra_core::Panic;
using lodestra_core::RidiParams3D;
using lodestra_fields::Count;
using lodestra_fields::QField3D;
using lodestra_fields::ScalarField3D;
using lodestra_fields::VelocityField3D;
using namespace lodestra_solver;

namespace {

using C = std::complex<double>;
using CL = std::complex<long double>;

std::vector<double> random_values(Count n, double amplitude, std::uint64_t seed) {
  std::mt19937_64 gen(seed);
  std::uniform_real_distribution<double> u(-amplitude, amplitude);
  std::vector<double> v(n);
  for (double& x : v) x = u(gen);
  return v;
}

QField3D random_q(Count nx, Count ny, Count nz, double dx, std::uint64_t seed) {
  return QField3D{
      .nx = nx, .ny = ny, .nz = nz, .dx = dx, .data = random_values(5 * nx * ny * nz, 0.5, seed)};
}

RidiParams3D flow_params(double zeta, double eta) {
  RidiParams3D p{};
  p.zeta_eff = zeta;
  p.eta = eta;
  return p;
}

double max_abs(const std::vector<double>& v) {
  double m = 0.0;
  for (double x : v) m = std::max(m, std::fabs(x));
  return m;
}

// Direct unnormalised 1D transforms along one axis of a full nx x ny x nz complex array,
// sign -1 forward or +1 inverse, in long double with exactly reduced angles.
void dft_axis(std::vector<CL>& f, const Count n[3], int axis, int sign) {
  const Count len = n[axis];
  const Count stride = axis == 2 ? 1 : axis == 1 ? n[2] : n[1] * n[2];
  const long double two_pi = 2.0L * std::numbers::pi_v<long double>;
  std::vector<CL> line(len);
  for (Count k = 0; k < n[0] * n[1] * n[2]; ++k) {
    if ((k / stride) % len != 0) continue;  // k is the start of a line along the axis
    for (Count p = 0; p < len; ++p) {
      CL sum = 0.0L;
      for (Count a = 0; a < len; ++a) {
        const long double angle = sign * two_pi * static_cast<long double>((a * p) % len) / len;
        sum += f[k + a * stride] * CL(std::cos(angle), std::sin(angle));
      }
      line[p] = sum;
    }
    for (Count p = 0; p < len; ++p) f[k + p * stride] = line[p];
  }
}

std::vector<C> forward_of_real(const std::vector<double>& x, const Count n[3]) {
  std::vector<CL> f(x.begin(), x.end());
  for (int axis : {2, 1, 0}) dft_axis(f, n, axis, -1);
  std::vector<C> out(f.size());
  for (std::size_t k = 0; k < f.size(); ++k) {
    out[k] = C(static_cast<double>(f[k].real()), static_cast<double>(f[k].imag()));
  }
  return out;
}

std::vector<double> inverse_real_part(const std::vector<C>& x, const Count n[3]) {
  std::vector<CL> f(x.begin(), x.end());
  for (int axis : {2, 1, 0}) dft_axis(f, n, axis, +1);
  std::vector<double> out(f.size());
  const double r = 1.0 / static_cast<double>(f.size());
  for (std::size_t k = 0; k < f.size(); ++k) out[k] = static_cast<double>(f[k].real()) * r;
  return out;
}

// The wavenumber rule written out independently of the library.
double literal_k(Count i, Count n, double dx) {
  const double m = i > n / 2 ? -static_cast<double>(n - i) : static_cast<double>(i);
  return std::sin((m * 6.283185307179586) / static_cast<double>(n)) / dx;
}

// f = -zeta div Q by periodic central differences, component c of every vertex.
std::vector<double> reference_force(const QField3D& q, double zeta, int c) {
  const Count nx = q.nx, ny = q.ny, nz = q.nz;
  auto at = [&](Count i, Count j, Count l, int comp) {
    const double* r = q.data.data() + 5 * ((i % nx * ny + j % ny) * nz + l % nz);
    return comp < 5 ? r[comp] : -(r[0] + r[3]);  // 5: Qzz
  };
  // Rows of Q by axis: column c of (Qxx Qxy Qxz; Qxy Qyy Qyz; Qxz Qyz Qzz).
  const int comp[3][3] = {{0, 1, 2}, {1, 3, 4}, {2, 4, 5}};
  const double h = 1.0 / (q.dx + q.dx);
  std::vector<double> f(nx * ny * nz);
  for (Count i = 0; i < nx; ++i) {
    for (Count j = 0; j < ny; ++j) {
      for (Count l = 0; l < nz; ++l) {
        const double dx = h * (at(i + 1, j, l, comp[0][c]) - at(i + nx - 1, j, l, comp[0][c]));
        const double dy = h * (at(i, j + 1, l, comp[1][c]) - at(i, j + ny - 1, l, comp[1][c]));
        const double dz = h * (at(i, j, l + 1, comp[2][c]) - at(i, j, l + nz - 1, comp[2][c]));
        f[(i * ny + j) * nz + l] = -zeta * ((dx + dy) + dz);
      }
    }
  }
  return f;
}

std::vector<double> reference_stokes(const QField3D& q, double zeta, double eta) {
  const Count n[3] = {q.nx, q.ny, q.nz};
  std::vector<C> f[3];
  for (int c = 0; c < 3; ++c) f[c] = forward_of_real(reference_force(q, zeta, c), n);
  std::vector<C> u[3];
  for (auto& x : u) x.assign(f[0].size(), C(0.0, 0.0));
  for (Count i = 0; i < n[0]; ++i) {
    for (Count j = 0; j < n[1]; ++j) {
      for (Count l = 0; l < n[2]; ++l) {
        const Count m = (i * n[1] + j) * n[2] + l;
        const double k[3] = {literal_k(i, n[0], q.dx), literal_k(j, n[1], q.dx),
                             literal_k(l, n[2], q.dx)};
        const double k2 = (k[0] * k[0] + k[1] * k[1]) + k[2] * k[2];
        if (k2 < 1e-14) continue;
        const C s = (k[0] * f[0][m] + k[1] * f[1][m]) + k[2] * f[2][m];
        for (int c = 0; c < 3; ++c) u[c][m] = (f[c][m] - (k[c] / k2) * s) * (1.0 / (eta * k2));
      }
    }
  }
  std::vector<double> out(3 * f[0].size());
  for (int c = 0; c < 3; ++c) {
    const std::vector<double> r = inverse_real_part(u[c], n);
    for (std::size_t v = 0; v < r.size(); ++v) out[3 * v + c] = r[v];
  }
  return out;
}

RidiParams3D ch_params() {
  RidiParams3D p{};
  p.m_l = 0.7;
  p.a_ch = 0.8;
  p.b_ch = 1.3;
  p.chi_ms = 0.6;
  p.kappa_ch = 0.4;
  return p;
}

std::vector<double> reference_ch(const ScalarField3D& phi, const QField3D& q, const RidiParams3D& p,
                                 double dt) {
  const Count n[3] = {phi.nx, phi.ny, phi.nz};
  std::vector<double> m(phi.data.size());
  for (std::size_t v = 0; v < m.size(); ++v) {
    const double* r = q.data.data() + 5 * v;
    const double tr = ((r[0] * r[0] + r[3] * r[3]) + (r[0] + r[3]) * (r[0] + r[3])) +
                      2.0 * ((r[1] * r[1] + r[2] * r[2]) + r[4] * r[4]);
    const double f = phi.data[v];
    m[v] = p.m_l * ((p.a_ch * f + f * (f * (p.b_ch * f))) - p.chi_ms * tr);
  }
  std::vector<C> ph = forward_of_real(phi.data, n);
  const std::vector<C> mh = forward_of_real(m, n);
  for (Count i = 0; i < n[0]; ++i) {
    for (Count j = 0; j < n[1]; ++j) {
      for (Count l = 0; l < n[2]; ++l) {
        const Count v = (i * n[1] + j) * n[2] + l;
        const double kx = literal_k(i, n[0], phi.dx), ky = literal_k(j, n[1], phi.dx),
                     kz = literal_k(l, n[2], phi.dx);
        const double k2 = (kx * kx + ky * ky) + kz * kz;
        const C nh = -k2 * mh[v];
        if (k2 * k2 < 1e-14) {
          ph[v] = ph[v] + dt * nh;
        } else {
          const double big_l = -(p.m_l * p.kappa_ch) * (k2 * k2);
          const double e = std::exp(dt * big_l);
          ph[v] = e * ph[v] + ((e - 1.0) / big_l) * nh;
        }
      }
    }
  }
  return inverse_real_part(ph, n);
}

void expect_close(const std::vector<double>& got, const std::vector<double>& want, double tol,
                  const char* what) {
  ASSERT_EQ(got.size(), want.size()) << what;
  for (std::size_t k = 0; k < got.size(); ++k)
    ASSERT_NEAR(got[k], want[k], tol) << what << " " << k;
}

}  // namespace

TEST(Spectral3DConventions, ModifiedWavenumbers) {
  for (Count n : {1u, 2u, 3u, 4u, 5u, 6u, 64u}) {
    const std::vector<double> k = modified_wavenumber_table(n, 0.7);
    ASSERT_EQ(k.size(), n);
    for (Count i = 0; i < n; ++i) {
      EXPECT_EQ(k[i], literal_k(i, n, 0.7)) << n << " " << i;
      if (!is_nyquist(i, n)) {
        EXPECT_EQ(k[mirror_index(i, n)], -k[i]);
      }
    }
  }
  // The Nyquist index keeps sin(pi)/dx, a rounding-size positive value, not 0.
  const double nyq = modified_wavenumber(2, 4, 0.5);
  EXPECT_GT(nyq, 0.0);
  EXPECT_LT(nyq, 1e-15);
  EXPECT_TRUE(is_zero_mode(wavenumber_sq_3d(nyq, nyq, nyq)));
  EXPECT_DOUBLE_EQ(modified_wavenumber(1, 4, 0.5), 2.0);  // sin(pi/2)/dx
}

class Small3DGrids : public ::testing::TestWithParam<std::tuple<Count, Count, Count>> {};

INSTANTIATE_TEST_SUITE_P(OneToSix, Small3DGrids,
                         ::testing::Combine(::testing::Range<Count>(1, 7),
                                            ::testing::Values<Count>(1, 2, 5, 6),
                                            ::testing::Values<Count>(1, 3, 4, 6)));

TEST_P(Small3DGrids, StokesAndChMatchTheSlowReference) {
  const auto [nx, ny, nz] = GetParam();
  const std::uint64_t seed = (nx * 16 + ny) * 16 + nz;
  const RidiParams3D p = flow_params(1.7, 0.6);
  const QField3D q = random_q(nx, ny, nz, 0.37, seed);
  const auto [u, pressure] = stokes_solve_3d(q, p);
  EXPECT_EQ(u.nx, nx);
  EXPECT_EQ(u.nz, nz);
  EXPECT_EQ(u.dx, 0.37);
  EXPECT_EQ(pressure.nz, nz);
  EXPECT_EQ(max_abs(pressure.data), 0.0);
  ASSERT_EQ(pressure.data.size(), nx * ny * nz);
  expect_close(u.data, reference_stokes(q, p.zeta_eff, p.eta), 1e-12, "stokes");

  const ScalarField3D phi{
      .nx = nx, .ny = ny, .nz = nz, .dx = 0.37, .data = random_values(nx * ny * nz, 0.9, seed + 1)};
  const ScalarField3D out = ch_step_etd_3d(phi, q, ch_params(), 0.3);
  expect_close(out.data, reference_ch(phi, q, ch_params(), 0.3), 1e-12, "ch");
}

TEST(Stokes3D, UniformAndAlternatingFieldsDriveNoFlow) {
  // Every central difference of a uniform field is 0, and so is that of a field alternating
  // along one axis only (its two neighbours are equal).
  const RidiParams3D p = flow_params(1.3, 0.8);
  for (auto [nx, ny, nz] : {std::tuple<Count, Count, Count>{8, 6, 4}, {5, 3, 7}, {1, 2, 1}}) {
    QField3D q = random_q(nx, ny, nz, 0.5, 1);
    for (Count v = 0; v < nx * ny * nz; ++v) {
      for (int c = 0; c < 5; ++c) q.data[5 * v + c] = q.data[c];
    }
    EXPECT_EQ(max_abs(stokes_solve_3d(q, p).first.data), 0.0);
  }
  for (int axis = 0; axis < 3; ++axis) {
    const Count nx = 6, ny = 4, nz = 8;
    QField3D q = random_q(nx, ny, nz, 0.5, 2);
    for (Count v = 0; v < nx * ny * nz; ++v) {
      const Count idx[3] = {v / (ny * nz), v / nz % ny, v % nz};
      const double sign = idx[axis] % 2 == 0 ? 1.0 : -1.0;
      for (int c = 0; c < 5; ++c) q.data[5 * v + c] = sign * q.data[c];
    }
    EXPECT_LT(max_abs(stokes_solve_3d(q, p).first.data), 1e-15) << axis;
  }
}

TEST(Stokes3D, LinearInZetaAndInverseEta) {
  const QField3D q = random_q(12, 10, 8, 0.6, 17);
  const VelocityField3D base = stokes_solve_3d(q, flow_params(1.3, 0.9)).first;
  EXPECT_GT(max_abs(base.data), 1e-3);
  auto scaled = [&](double f) {
    std::vector<double> out(base.data);
    for (double& x : out) x *= f;
    return out;
  };
  // Scaling by powers of two, and changing a sign, is exact through every operation.
  EXPECT_TRUE(same_bits(stokes_solve_3d(q, flow_params(2.6, 0.9)).first.data, scaled(2.0)));
  EXPECT_TRUE(same_bits(stokes_solve_3d(q, flow_params(1.3, 1.8)).first.data, scaled(0.5)));
  EXPECT_TRUE(same_bits(stokes_solve_3d(q, flow_params(-1.3, 0.9)).first.data, scaled(-1.0)));
}

TEST(Stokes3D, FlowIsDivergenceFreeWithZeroMean) {
  const RidiParams3D p = flow_params(1.1, 0.7);
  for (auto [nx, ny, nz] :
       {std::tuple<Count, Count, Count>{8, 6, 10}, {5, 7, 3}, {4, 1, 9}, {2, 6, 6}}) {
    const QField3D q = random_q(nx, ny, nz, 0.45, nx + ny + nz);
    const VelocityField3D u = stokes_solve_3d(q, p).first;
    const double h = 1.0 / (q.dx + q.dx);
    const double scale = max_abs(u.data) * h;
    double mean[3] = {-0.0, -0.0, -0.0};
    for (Count i = 0; i < nx; ++i) {
      for (Count j = 0; j < ny; ++j) {
        for (Count l = 0; l < nz; ++l) {
          auto at = [&](Count a, Count b, Count c, int comp) {
            return u.data[3 * ((a % nx * ny + b % ny) * nz + c % nz) + comp];
          };
          const double div = h * (at(i + 1, j, l, 0) - at(i + nx - 1, j, l, 0)) +
                             h * (at(i, j + 1, l, 1) - at(i, j + ny - 1, l, 1)) +
                             h * (at(i, j, l + 1, 2) - at(i, j, l + nz - 1, 2));
          EXPECT_LT(std::fabs(div), 1e-13 * scale);
          for (int c = 0; c < 3; ++c) mean[c] += at(i, j, l, c);
        }
      }
    }
    for (double m : mean) EXPECT_LT(std::fabs(m), 1e-13 * max_abs(u.data) * (nx * ny * nz));
  }
}

TEST(Stokes3D, SingleShearModeGivesTheAnalyticFlow) {
  // Qxz = A cos(theta l), theta = 2 pi m / nz: fx = -zeta Dz Qxz = (zeta A sin theta / dx)
  // sin(theta l) is transverse to k = kz e_z, so ux = fx / (eta kz^2) = zeta A dx sin(theta l) /
  // (eta sin theta).
  const double a = 0.25;
  const RidiParams3D p = flow_params(1.5, 0.8);
  for (auto [nz, mode, dx] :
       {std::tuple<Count, int, double>{16, 1, 0.5}, {16, 3, 0.5}, {9, 2, 1.3}}) {
    const Count nx = 3, ny = 4;
    const double theta = 2.0 * std::numbers::pi * mode / static_cast<double>(nz);
    QField3D q{
        .nx = nx, .ny = ny, .nz = nz, .dx = dx, .data = std::vector<double>(5 * nx * ny * nz)};
    for (Count v = 0; v < nx * ny * nz; ++v) q.data[5 * v + 2] = a * std::cos(theta * (v % nz));
    const VelocityField3D u = stokes_solve_3d(q, p).first;
    const double amp = p.zeta_eff * a * dx / (p.eta * std::sin(theta));
    for (Count v = 0; v < nx * ny * nz; ++v) {
      EXPECT_NEAR(u.data[3 * v], amp * std::sin(theta * (v % nz)), 1e-13 * amp);
      EXPECT_NEAR(u.data[3 * v + 1], 0.0, 1e-14 * amp);
      EXPECT_NEAR(u.data[3 * v + 2], 0.0, 1e-14 * amp);
    }
  }
}

TEST(Stokes3D, IntoFormIsBitIdenticalAcrossGridsAndReuse) {
  const RidiParams3D p = flow_params(1.2, 0.9);
  const QField3D a = random_q(8, 6, 4, 0.7, 5);
  const QField3D b = random_q(5, 5, 3, 0.4, 6);
  const VelocityField3D ua = stokes_solve_3d(a, p).first;
  VelocityField3D u;
  stokes_solve_3d_into(b, p, u);
  EXPECT_TRUE(same_bits(u.data, stokes_solve_3d(b, p).first.data));
  stokes_solve_3d_into(a, p, u);  // another grid, then the first again
  EXPECT_TRUE(same_bits(u.data, ua.data));
  QField3D c = a;
  c.dx = 0.35;  // same grid, another spacing: new wavenumbers
  stokes_solve_3d_into(c, p, u);
  EXPECT_EQ(u.dx, 0.35);
  StokesWorkspace3D fresh(8, 6, 4, 0.35);
  VelocityField3D w;
  fresh.solve(c, p, w);
  EXPECT_TRUE(same_bits(u.data, w.data));
  EXPECT_THROW(fresh.solve(b, p, w), Panic);
  QField3D broken = a;
  broken.data.pop_back();
  EXPECT_THROW(stokes_solve_3d_into(broken, p, u), Panic);
  const auto [empty, pe] = stokes_solve_3d(random_q(0, 3, 2, 1.0, 1), p);
  EXPECT_TRUE(empty.data.empty());
  EXPECT_TRUE(pe.data.empty());
}
