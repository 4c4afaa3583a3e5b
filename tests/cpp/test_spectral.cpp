// The 2D Fourier conventions, and the fast spectral operators checked against a slow
// reference: direct O(N^2) transforms and the per-mode formulas applied to the full
// (not half) complex spectrum, the inverse taken as the real part over nx*ny.

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <complex>
#include <cstring>
#include <numbers>
#include <tuple>
#include <vector>

#include "lodestra_core/panic.hpp"
#include "lodestra_core/params.hpp"
#include "lodestra_fields/fields2d.hpp"
#include "lodestra_solver/ch_2d.hpp"
#include "lodestra_solver/fft.hpp"
#include "lodestra_solver/spectral2d.hpp"
#include "lodestra_solver/stokes_2d.hpp"

using lodestra_core::Panic;
using lodestra_core::RidiParams;
using lodestra_fields::Count;
using lodestra_fields::QField2D;
using lodestra_fields::ScalarField2D;
using lodestra_fields::VelocityField2D;
using namespace lodestra_solver;

namespace {

using C = std::complex<double>;
using CL = std::complex<long double>;

// Direct 2D DFT of a full complex nx x ny array, sign -1 (forward) or +1 (inverse),
// unnormalised, accumulated in long double with exactly reduced angles.
std::vector<C> direct_dft(const std::vector<C>& f, Count nx, Count ny, int sign) {
  std::vector<C> out(nx * ny);
  const long double two_pi = 2.0L * std::numbers::pi_v<long double>;
  for (Count p = 0; p < nx; ++p) {
    for (Count s = 0; s < ny; ++s) {
      CL sum = 0.0L;
      for (Count a = 0; a < nx; ++a) {
        for (Count b = 0; b < ny; ++b) {
          const long double turn = static_cast<long double>((a * p) % nx) / nx +
                                   static_cast<long double>((b * s) % ny) / ny;
          const long double angle = sign * two_pi * turn;
          sum +=
              CL(f[a * ny + b].real(), f[a * ny + b].imag()) * CL(std::cos(angle), std::sin(angle));
        }
      }
      out[p * ny + s] = C(static_cast<double>(sum.real()), static_cast<double>(sum.imag()));
    }
  }
  return out;
}

std::vector<C> forward_of_real(const std::vector<double>& f, Count nx, Count ny) {
  return direct_dft(std::vector<C>(f.begin(), f.end()), nx, ny, -1);
}

// Re(inverse(X)) / (nx*ny).
std::vector<double> inverse_real_part(const std::vector<C>& x, Count nx, Count ny) {
  const std::vector<C> back = direct_dft(x, nx, ny, +1);
  std::vector<double> out(nx * ny);
  for (Count k = 0; k < nx * ny; ++k) out[k] = back[k].real() / static_cast<double>(nx * ny);
  return out;
}

// The wavenumber rule written out independently of the library.
double literal_k(Count i, Count n, double dx) {
  const double m = i > n / 2 ? -static_cast<double>(n - i) : static_cast<double>(i);
  return (m * 6.283185307179586) / (dx * static_cast<double>(n));
}

double max_abs(const std::vector<double>& v) {
  double m = 0.0;
  for (double x : v) m = std::max(m, std::fabs(x));
  return m;
}

std::vector<double> component(const std::vector<double>& interleaved, int c) {
  std::vector<double> out(interleaved.size() / 2);
  for (std::size_t k = 0; k < out.size(); ++k) out[k] = interleaved[2 * k + c];
  return out;
}

// |fast - ref| <= rel max(max |ref|, scale): scale is the field's natural size, so a
// reference that cancels to rounding noise is not compared relative to that noise.
void expect_close(const std::vector<double>& fast, const std::vector<double>& ref, double rel,
                  double scale, const char* what) {
  ASSERT_EQ(fast.size(), ref.size()) << what;
  const double tol = rel * std::max(max_abs(ref), scale);
  for (std::size_t k = 0; k < ref.size(); ++k) {
    ASSERT_NEAR(fast[k], ref[k], tol) << what << " at " << k;
  }
}

// Slow Stokes: the per-mode formula over every mode of the full complex spectrum.
std::vector<double> reference_stokes(const QField2D& q, double zeta, double eta) {
  const Count nx = q.nx;
  const Count ny = q.ny;
  const std::vector<C> qxx = forward_of_real(component(q.data, 0), nx, ny);
  const std::vector<C> qxy = forward_of_real(component(q.data, 1), nx, ny);
  std::vector<C> ux(nx * ny), uy(nx * ny);
  for (Count i = 0; i < nx; ++i) {
    for (Count j = 0; j < ny; ++j) {
      const Count k = i * ny + j;
      const double kx = literal_k(i, nx, q.dx);
      const double ky = literal_k(j, ny, q.dx);
      const double k2 = kx * kx + ky * ky;
      if (k2 < 1e-14) continue;
      const C bracket = qxy[k] * (ky * ky - kx * kx) + qxx[k] * ((kx + kx) * ky);
      const C psi = (zeta * bracket) / (eta * (k2 * k2));
      ux[k] = C(-ky * psi.imag(), ky * psi.real());
      uy[k] = C(kx * psi.imag(), -kx * psi.real());
    }
  }
  const std::vector<double> rx = inverse_real_part(ux, nx, ny);
  const std::vector<double> ry = inverse_real_part(uy, nx, ny);
  std::vector<double> out(2 * nx * ny);
  for (Count k = 0; k < nx * ny; ++k) {
    out[2 * k] = rx[k];
    out[2 * k + 1] = ry[k];
  }
  return out;
}

// N = m_l laplacian(mu_nl) - advect_scalar(v, phi), through the field operators.
std::vector<double> explicit_term(const ScalarField2D& phi, const QField2D& q_lip,
                                  const VelocityField2D& v, const RidiParams& p) {
  ScalarField2D mu = ScalarField2D::zeros(phi.nx, phi.ny, phi.dx);
  for (Count k = 0; k < mu.data.size(); ++k) {
    const double f = phi.data[k];
    const double q1 = q_lip.data[2 * k];
    const double q2 = q_lip.data[2 * k + 1];
    mu.data[k] = f * (f * (p.b_ch * f)) - p.chi_ms * (2.0 * (q1 * q1 + q2 * q2));
  }
  const ScalarField2D lap = mu.laplacian();
  const ScalarField2D adv = v.advect_scalar(phi);
  std::vector<double> n(mu.data.size());
  for (Count k = 0; k < n.size(); ++k) n[k] = p.m_l * lap.data[k] - adv.data[k];
  return n;
}

// The ETD1 update of one mode; phi^ stays as it is where k^2 < 1e-14.
C etd_mode(C phi, C n, double kx, double ky, const RidiParams& p) {
  const double k2 = kx * kx + ky * ky;
  if (k2 < 1e-14) return phi;
  const double l = (p.a_ch * k2 + p.kappa_ch * (k2 * k2)) * -p.m_l;
  const double z = p.dt * l;
  const double e = std::exp(z);
  const double w = std::fabs(z) < 1e-10 ? p.dt * ((z * 0.5 + 1.0) + (z * z) / 6.0) : (e - 1.0) / l;
  return C(phi.real() * e + n.real() * w, phi.imag() * e + n.imag() * w);
}

// Slow ETD1 step over the full complex spectrum.
std::vector<double> reference_ch(const ScalarField2D& phi, const QField2D& q_lip,
                                 const VelocityField2D& v, const RidiParams& p) {
  const Count nx = phi.nx;
  const Count ny = phi.ny;
  const std::vector<double> n = explicit_term(phi, q_lip, v, p);
  std::vector<C> ph = forward_of_real(phi.data, nx, ny);
  const std::vector<C> nh = forward_of_real(n, nx, ny);
  for (Count i = 0; i < nx; ++i) {
    for (Count j = 0; j < ny; ++j) {
      ph[i * ny + j] = etd_mode(ph[i * ny + j], nh[i * ny + j], literal_k(i, nx, phi.dx),
                                literal_k(j, ny, phi.dx), p);
    }
  }
  return inverse_real_part(ph, nx, ny);
}

}  // namespace

TEST(SpectralConventions, WavenumberKnownAnswers) {
  // n = 4, dx = 0.5: m = 0, 1, 2 (Nyquist, positive), -1.
  const std::vector<double> k4 = wavenumber_table(4, 0.5);
  ASSERT_EQ(k4.size(), 4u);
  EXPECT_EQ(k4[0], 0.0);
  EXPECT_DOUBLE_EQ(k4[1], std::numbers::pi);
  EXPECT_DOUBLE_EQ(k4[2], std::numbers::pi / 0.5);  // +pi/dx
  EXPECT_GT(k4[2], 0.0);
  EXPECT_DOUBLE_EQ(k4[3], -std::numbers::pi);
  // n = 5 has no Nyquist index: m = 0, 1, 2, -2, -1.
  const std::vector<double> k5 = wavenumber_table(5, 0.3);
  EXPECT_DOUBLE_EQ(k5[2], 2.0 * 2.0 * std::numbers::pi / (5 * 0.3));
  EXPECT_EQ(k5[3], -k5[2]);
  EXPECT_EQ(k5[4], -k5[1]);
  // The product m 2pi is formed first, then divided by dx n.
  for (Count n : {1u, 2u, 3u, 6u, 7u, 64u}) {
    for (Count i = 0; i < n; ++i) {
      EXPECT_EQ(wavenumber(i, n, 0.1), literal_k(i, n, 0.1)) << n << " " << i;
    }
  }
  EXPECT_EQ(wavenumber_table(1, 2.0), std::vector<double>{0.0});
  EXPECT_TRUE(wavenumber_table(0, 1.0).empty());
  // Mirror pairs are exact negatives away from the Nyquist index, which is its own mirror.
  for (Count i = 0; i < 6; ++i) {
    const Count m = mirror_index(i, 6);
    if (is_nyquist(i, 6)) {
      EXPECT_EQ(m, i);
    } else {
      EXPECT_EQ(wavenumber(m, 6, 0.7), -wavenumber(i, 6, 0.7));
    }
  }
  EXPECT_TRUE(is_zero_mode(0.0));
  EXPECT_TRUE(is_zero_mode(9.9e-15));
  EXPECT_FALSE(is_zero_mode(1e-14));
  EXPECT_FALSE(is_zero_mode(std::nan("")));
}

class SpectralSizes : public ::testing::TestWithParam<std::tuple<Count, Count>> {};

INSTANTIATE_TEST_SUITE_P(AllSmallGrids, SpectralSizes,
                         ::testing::Combine(::testing::Range<Count>(1, 9),
                                            ::testing::Range<Count>(1, 9)));

TEST_P(SpectralSizes, HalfSpectrumMatchesDirectTransformAndInverts) {
  const auto [nx, ny] = GetParam();
  const double dx = 0.37;
  Spectral2D spectral(nx, ny, dx);
  ASSERT_EQ(spectral.half_ny(), ny / 2 + 1);
  ASSERT_EQ(spectral.modes(), nx * (ny / 2 + 1));
  const QField2D r = QField2D::random_perturbation(nx, ny, dx, 1.0, 11 + nx * 16 + ny);
  fft::RealBuffer f(nx * ny);
  for (Count k = 0; k < nx * ny; ++k) f[k] = r.data[2 * k];
  fft::ComplexBuffer half(spectral.modes());
  spectral.forward(f, half);
  const std::vector<C> full = forward_of_real(component(r.data, 0), nx, ny);
  for (Count i = 0; i < nx; ++i) {
    for (Count j = 0; j < spectral.half_ny(); ++j) {
      const C got = half[i * spectral.half_ny() + j];
      const C want = full[i * ny + j];
      EXPECT_NEAR(got.real(), want.real(), 1e-12 * nx * ny);
      EXPECT_NEAR(got.imag(), want.imag(), 1e-12 * nx * ny);
    }
  }
  fft::RealBuffer back(nx * ny);
  spectral.inverse_unnormalised(half, back);
  for (Count k = 0; k < nx * ny; ++k) {
    EXPECT_NEAR(back[k] / spectral.divisor(), f[k], 1e-13);
  }
}

TEST_P(SpectralSizes, StokesMatchesSlowReference) {
  const auto [nx, ny] = GetParam();
  RidiParams p = RidiParams::default_test();
  p.zeta_eff = 1.7;
  p.eta = 0.6;
  for (double dx : {1.0, 0.37}) {
    const QField2D q = QField2D::random_perturbation(nx, ny, dx, 0.5, 3 + nx * 16 + ny);
    const VelocityField2D u = stokes_solve(q, p);
    expect_close(u.data, reference_stokes(q, p.zeta_eff, p.eta), 1e-12,
                 p.zeta_eff * 0.5 * dx / p.eta, "stokes");
  }
}

TEST_P(SpectralSizes, ChStepMatchesSlowReference) {
  const auto [nx, ny] = GetParam();
  RidiParams p = RidiParams::default_test();
  p.dt = 0.3;
  p.m_l = 0.7;
  p.a_ch = 0.8;
  p.kappa_ch = 0.4;
  p.b_ch = 1.3;
  p.chi_ms = 0.6;
  const double dx = 0.37;
  const QField2D r = QField2D::random_perturbation(nx, ny, dx, 0.9, 5 + nx * 16 + ny);
  const ScalarField2D phi{nx, ny, dx, component(r.data, 0)};
  const QField2D q_lip = QField2D::random_perturbation(nx, ny, dx, 0.4, 7 + nx);
  // Velocities of both signs exercise both upwind branches.
  const QField2D w = QField2D::random_perturbation(nx, ny, dx, 0.8, 9 + ny);
  const VelocityField2D v{nx, ny, dx, w.data};
  const ScalarField2D out = ch_step_etd(phi, q_lip, v, p);
  expect_close(out.data, reference_ch(phi, q_lip, v, p), 1e-12, 1.0, "ch");
}

TEST(SpectralConventions, ChStepIsTheFieldOperatorsComposedBitForBit) {
  // The fused explicit pass against the field operators, then the library's own transforms
  // and the per-mode update on the half spectrum: every bit must agree.
  RidiParams p = RidiParams::default_test();
  p.dt = 0.05;
  for (auto [nx, ny] : {std::pair<Count, Count>{12, 10}, {7, 9}, {2, 3}, {1, 4}}) {
    const double dx = 0.9;
    const QField2D r = QField2D::random_perturbation(nx, ny, dx, 0.6, nx * 7 + ny);
    const ScalarField2D phi{nx, ny, dx, component(r.data, 0)};
    const QField2D q_lip = QField2D::random_perturbation(nx, ny, dx, 0.5, 8);
    const QField2D w = QField2D::random_perturbation(nx, ny, 1.1, 0.7, 9);
    const VelocityField2D v{nx, ny, 1.1, w.data};  // its own spacing enters the upwind term
    const std::vector<double> n = explicit_term(phi, q_lip, v, p);
    Spectral2D spectral(nx, ny, dx);
    fft::RealBuffer f(nx * ny), nb(nx * ny);
    for (Count k = 0; k < nx * ny; ++k) {
      f[k] = phi.data[k];
      nb[k] = n[k];
    }
    fft::ComplexBuffer fh(spectral.modes()), nh(spectral.modes());
    spectral.forward(f, fh);
    spectral.forward(nb, nh);
    for (Count i = 0; i < nx; ++i) {
      for (Count j = 0; j < spectral.half_ny(); ++j) {
        const Count m = i * spectral.half_ny() + j;
        fh[m] = etd_mode(fh[m], nh[m], spectral.kx()[i], spectral.ky()[j], p);
      }
    }
    spectral.inverse_unnormalised(fh, f);
    std::vector<double> want(nx * ny);
    for (Count k = 0; k < nx * ny; ++k) want[k] = f[k] / static_cast<double>(nx * ny);
    const std::vector<double> got = ch_step_etd(phi, q_lip, v, p).data;
    ASSERT_EQ(got.size(), want.size());
    EXPECT_EQ(std::memcmp(got.data(), want.data(), got.size() * sizeof(double)), 0)
        << nx << "x" << ny;
  }
}

TEST(SpectralConventions, StokesNyquistModesAreHermitianPartOfTheSpectrum) {
  // A field living only on the Nyquist row of an even grid: the fast solver must invert
  // the Hermitian part of its non-Hermitian flow spectrum, as the slow reference does.
  const Count nx = 8;
  const Count ny = 6;
  const double dx = 0.5;
  QField2D q = QField2D::zeros(nx, ny, dx);
  for (Count i = 0; i < nx; ++i) {
    for (Count j = 0; j < ny; ++j) {
      const double sign = i % 2 == 0 ? 1.0 : -1.0;
      const double y = 2.0 * std::numbers::pi * static_cast<double>(j) / static_cast<double>(ny);
      q.data[2 * (i * ny + j)] = sign * std::sin(y);
      q.data[2 * (i * ny + j) + 1] = sign * std::cos(2.0 * y);
    }
  }
  RidiParams p = RidiParams::default_test();
  const VelocityField2D u = stokes_solve(q, p);
  expect_close(u.data, reference_stokes(q, p.zeta_eff, p.eta), 1e-12, 1.0, "nyquist");
}

TEST(FftWrapper, ThreeDimensionalPlansMatchDirectTransform) {
  const std::array<Count, 3> ext{3, 4, 5};
  const Count n = 60;
  fft::RealForward forward(ext);
  fft::RealInverse inverse(ext);
  ASSERT_EQ(fft::half_spectrum_size(ext), 3u * 4u * 3u);
  fft::RealBuffer x(n);
  for (Count k = 0; k < n; ++k) x[k] = std::sin(0.7 * static_cast<double>(k * k) + 0.1);
  fft::ComplexBuffer spectrum(fft::half_spectrum_size(ext));
  forward.execute(x, spectrum);
  const long double two_pi = 2.0L * std::numbers::pi_v<long double>;
  for (Count p = 0; p < 3; ++p) {
    for (Count s = 0; s < 4; ++s) {
      for (Count t = 0; t < 3; ++t) {
        CL sum = 0.0L;
        for (Count a = 0; a < 3; ++a) {
          for (Count b = 0; b < 4; ++b) {
            for (Count c = 0; c < 5; ++c) {
              const long double turn = static_cast<long double>((a * p) % 3) / 3 +
                                       static_cast<long double>((b * s) % 4) / 4 +
                                       static_cast<long double>((c * t) % 5) / 5;
              sum += static_cast<long double>(x[(a * 4 + b) * 5 + c]) *
                     CL(std::cos(-two_pi * turn), std::sin(-two_pi * turn));
            }
          }
        }
        const C got = spectrum[(p * 4 + s) * 3 + t];
        EXPECT_NEAR(got.real(), static_cast<double>(sum.real()), 1e-12);
        EXPECT_NEAR(got.imag(), static_cast<double>(sum.imag()), 1e-12);
      }
    }
  }
  fft::RealBuffer back(n);
  inverse.execute(spectrum, back);
  for (Count k = 0; k < n; ++k) EXPECT_NEAR(back[k] / 60.0, x[k], 1e-14);
}

TEST(FftWrapper, EmptyShapesMismatchedBuffersAndMoves) {
  const std::array<Count, 2> empty{0, 5};
  fft::RealForward none(empty);
  fft::RealBuffer x0;
  fft::ComplexBuffer s0;
  EXPECT_EQ(fft::half_spectrum_size(empty), 0u);
  none.execute(x0, s0);  // nothing to do, nothing planned

  const std::array<Count, 2> ext{4, 4};
  fft::RealForward forward(ext);
  fft::RealBuffer x(16);
  fft::ComplexBuffer wrong(16);
  EXPECT_THROW(forward.execute(x, wrong), Panic);
  fft::RealInverse inverse(ext);
  fft::RealBuffer short_out(15);
  fft::ComplexBuffer spectrum(12);
  EXPECT_THROW(inverse.execute(spectrum, short_out), Panic);

  // A moved plan keeps working; the input of a forward transform is left alone.
  fft::RealForward moved = std::move(forward);
  for (Count k = 0; k < 16; ++k) x[k] = static_cast<double>(k % 3);
  moved.execute(x, spectrum);
  EXPECT_EQ(spectrum[0].real(), 15.0);
  for (Count k = 0; k < 16; ++k) EXPECT_EQ(x[k], static_cast<double>(k % 3));
  fft::RealBuffer buffer(8);
  buffer[3] = 2.5;
  fft::RealBuffer taken = std::move(buffer);
  EXPECT_EQ(taken[3], 2.5);
  EXPECT_EQ(buffer.size(), 0u);
  EXPECT_EQ(buffer.data(), nullptr);
}

TEST(FftWrapper, ComplexPlanMatchesDirectTransform) {
  const Count nx = 5;
  const Count ny = 6;
  std::vector<C> f(nx * ny);
  fft::ComplexBuffer in(nx * ny);
  for (Count k = 0; k < nx * ny; ++k) {
    f[k] = C(std::cos(1.3 * k), std::sin(0.4 * k * k));
    in[k] = f[k];
  }
  const std::vector<C> want = direct_dft(f, nx, ny, -1);
  // Estimate only: measured plans would feed FFTW wisdom into the rest of this process.
  {
    const fft::ComplexPlan2D plan(nx, ny, fft::Planning::Estimate);
    fft::ComplexBuffer spectrum(nx * ny), back(nx * ny);
    plan.forward(in, spectrum);
    plan.inverse(spectrum, back);
    for (Count k = 0; k < nx * ny; ++k) {
      EXPECT_NEAR(std::abs(spectrum[k] - want[k]), 0.0, 1e-12);
      EXPECT_NEAR(std::abs(back[k] / 30.0 - f[k]), 0.0, 1e-14);
      EXPECT_EQ(in[k], f[k]);  // input preserved
    }
    EXPECT_THROW(plan.forward(in, in), Panic);
  }
  const fft::ComplexPlan2D empty(0, 3);
  fft::ComplexBuffer none;
  fft::ComplexBuffer none2;
  empty.forward(none, none2);
}

TEST(SpectralConventions, RepeatedAndIndependentSolvesAreBitIdentical) {
  const QField2D q = QField2D::random_perturbation(48, 40, 0.8, 0.5, 99);
  const RidiParams p = RidiParams::default_test();
  const VelocityField2D a = stokes_solve(q, p);
  const VelocityField2D b = stokes_solve(q, p);
  StokesWorkspace2D ws(48, 40, 0.8);
  VelocityField2D c;
  ws.solve(q, p, c);
  ws.solve(q, p, c);
  ASSERT_EQ(a.data.size(), b.data.size());
  EXPECT_EQ(std::memcmp(a.data.data(), b.data.data(), a.data.size() * sizeof(double)), 0);
  EXPECT_EQ(std::memcmp(a.data.data(), c.data.data(), a.data.size() * sizeof(double)), 0);
}
