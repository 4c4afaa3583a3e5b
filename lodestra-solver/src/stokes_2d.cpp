#include "lodestra_solver/stokes_2d.hpp"

#include <bit>
#include <cstdint>

#include "lodestra_core/format.hpp"
#include "lodestra_core/panic.hpp"
#include "lodestra_core/simd.hpp"
#include "lodestra_core/threads.hpp"
#include "lodestra_solver/fft.hpp"
#include "lodestra_solver/recent_workspaces.hpp"
#include "lodestra_solver/spectral2d.hpp"

namespace lodestra_solver {

namespace {

using fft::Complex;

// Velocity of one Fourier mode of the active stress:
//   psi^ = zeta (Qxy^ (ky^2 - kx^2) + Qxx^ (2 kx ky)) / (eta (k^2)^2),
//   ux^ = I ky psi^ = (-ky Im psi^, ky Re psi^),  uy^ = -I kx psi^ = (kx Im psi^, -kx Re psi^),
// the stream-function solution of eta lap^2 psi = zeta ((dx^2 - dy^2) Qxy - 2 dx dy Qxx).
// The bracket is formed first, then multiplied by zeta, then divided; ky^2 - kx^2 is
// ky ky - kx kx and 2 kx ky is (kx + kx) ky. The mean mode (and any mode with
// k^2 < 1e-14) carries no flow; a NaN k^2 goes through the formula.
//
// With substrate friction Gamma_f (eta lap u - Gamma_f u - grad p + div sigma = 0) the
// curl gives eta lap^2 psi - Gamma_f lap psi = curl div sigma, so the divisor becomes
// k^2 (eta k^2 + Gamma_f); without friction the divisor stays eta (k^2)^2, whose rounding
// differs. A source with an antisymmetric stress sigma_xy = -sigma_yx = A adds
// curl div sigma_a = -lap A, that is + k^2 A^ inside the bracket (kAnti).
struct ModeFlow {
  Complex ux;
  Complex uy;
};

// The constants of the mode formula: zeta multiplies the bracket (1 when the source is
// already the stress), friction enters only with kFriction.
struct FlowConstants {
  double zeta;
  double eta;
  double friction;
};

// The formula alone, for a mode that is not a zero mode.
template <bool kFriction, bool kAnti>
inline ModeFlow stream_flow(double kx, double ky, Complex qxx, Complex qxy, Complex anti,
                            const FlowConstants& c) {
  const double k2 = kx * kx + ky * ky;
  const double cxy = ky * ky - kx * kx;
  const double cxx = (kx + kx) * ky;
  const double denom = kFriction ? k2 * (c.eta * k2 + c.friction) : c.eta * (k2 * k2);
  double b_re = qxy.real() * cxy + qxx.real() * cxx;
  double b_im = qxy.imag() * cxy + qxx.imag() * cxx;
  if constexpr (kAnti) {
    b_re = b_re + k2 * anti.real();
    b_im = b_im + k2 * anti.imag();
  }
  const double psi_re = (c.zeta * b_re) / denom;
  const double psi_im = (c.zeta * b_im) / denom;
  return {Complex(-ky * psi_im, ky * psi_re), Complex(kx * psi_im, -kx * psi_re)};
}

template <bool kFriction, bool kAnti>
inline ModeFlow mode_flow(double kx, double ky, Complex qxx, Complex qxy, Complex anti,
                          const FlowConstants& c) {
  if (is_zero_mode(kx * kx + ky * ky)) return {Complex(0.0, 0.0), Complex(0.0, 0.0)};
  return stream_flow<kFriction, kAnti>(kx, ky, qxx, qxy, anti, c);
}

// u^ along one row of stored modes (fixed kx), complex values as (re, im) pairs of doubles;
// `anti` is read only with kAnti. The formula runs over the whole row without a branch, so
// that it vectorises; the rare zero modes are cleared afterwards.
template <bool kFriction, bool kAnti>
LODESTRA_SIMD_CLONES void flow_row(double kx, const double* __restrict ky,
                                   const double* __restrict qxx, const double* __restrict qxy,
                                   const double* __restrict anti, double* __restrict ux,
                                   double* __restrict uy, Count count, FlowConstants c) {
  for (Count j = 0; j < count; ++j) {
    const Complex a = kAnti ? Complex(anti[2 * j], anti[2 * j + 1]) : Complex(0.0, 0.0);
    const ModeFlow u = stream_flow<kFriction, kAnti>(kx, ky[j], Complex(qxx[2 * j], qxx[2 * j + 1]),
                                                     Complex(qxy[2 * j], qxy[2 * j + 1]), a, c);
    ux[2 * j] = u.ux.real();
    ux[2 * j + 1] = u.ux.imag();
    uy[2 * j] = u.uy.real();
    uy[2 * j + 1] = u.uy.imag();
  }
  for (Count j = 0; j < count; ++j) {
    if (is_zero_mode(kx * kx + ky[j] * ky[j])) {
      ux[2 * j] = 0.0;
      ux[2 * j + 1] = 0.0;
      uy[2 * j] = 0.0;
      uy[2 * j + 1] = 0.0;
    }
  }
}

// (q1, q2) records into two arrays.
LODESTRA_SIMD_CLONES
void split(const double* __restrict q, double* __restrict qxx, double* __restrict qxy, Count n) {
  for (Count k = 0; k < n; ++k) {
    qxx[k] = q[2 * k];
    qxy[k] = q[2 * k + 1];
  }
}

// (ux, uy) records from the unnormalised inverses, each value divided by nx*ny.
LODESTRA_SIMD_CLONES
void interleave_scaled(const double* __restrict ux, const double* __restrict uy,
                       double* __restrict u, Count n, double divisor) {
  for (Count k = 0; k < n; ++k) {
    u[2 * k] = ux[k] / divisor;
    u[2 * k + 1] = uy[k] / divisor;
  }
}

bool same_bits(double a, double b) {
  return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}

}  // namespace

struct StokesWorkspace2D::State {
  Spectral2D spectral;
  fft::RealBuffer qxx;  // reused for ux after the forward transforms
  fft::RealBuffer qxy;  // reused for uy
  fft::ComplexBuffer qxx_hat;
  fft::ComplexBuffer qxy_hat;
  fft::ComplexBuffer ux_hat;
  fft::ComplexBuffer uy_hat;
  fft::RealBuffer anti;  // the antisymmetric stress of a stress source, made on first use
  fft::ComplexBuffer anti_hat;

  State(Count nx, Count ny, double dx)
      : spectral(nx, ny, dx),
        qxx(spectral.points()),
        qxy(spectral.points()),
        qxx_hat(spectral.modes()),
        qxy_hat(spectral.modes()),
        ux_hat(spectral.modes()),
        uy_hat(spectral.modes()) {}

  template <bool kFriction, bool kAnti>
  void flow_spectrum(const FlowConstants& c);
  template <bool kFriction, bool kAnti>
  void symmetrise_nyquist(const FlowConstants& c);
  template <bool kAnti>
  void flow(const FlowConstants& c);
  void begin(Count nx, Count ny, double dx, VelocityField2D& out) const;
  void finish(VelocityField2D& out);
};

// u^ for every stored mode (i outer, j inner).
template <bool kFriction, bool kAnti>
void StokesWorkspace2D::State::flow_spectrum(const FlowConstants& c) {
  const Count nx = spectral.nx();
  const Count nyh = spectral.half_ny();
  const double* kx = spectral.kx().data();
  const double* ky = spectral.ky().data();
  // std::complex<double> is an array of two doubles.
  const double* qxx_h = reinterpret_cast<const double*>(qxx_hat.data());
  const double* qxy_h = reinterpret_cast<const double*>(qxy_hat.data());
  const double* anti_h = kAnti ? reinterpret_cast<const double*>(anti_hat.data()) : nullptr;
  double* ux_h = reinterpret_cast<double*>(ux_hat.data());
  double* uy_h = reinterpret_cast<double*>(uy_hat.data());
  lodestra_core::parallel_for(0, nx, lodestra_core::grain_for(2 * nyh), [&](Count i0, Count i1) {
    for (Count i = i0; i < i1; ++i) {
      const Count row = 2 * i * nyh;
      flow_row<kFriction, kAnti>(kx[i], ky, qxx_h + row, qxy_h + row,
                                 kAnti ? anti_h + row : nullptr, ux_h + row, uy_h + row, nyh, c);
    }
  });
}

// On the Nyquist row (even nx) and column (even ny) k(-i) = k(i) = +pi/dx, so the flow
// spectrum is not Hermitian there and the real part of its inverse is the inverse of the
// Hermitian part H(k) = (X(k) + conj(X(-k))) / 2. X(-k) comes from the same formula with
// Q^(-k): the stored value where -k is stored (columns 0 and ny/2), else conj(Q^(k)) since Q
// is real. Every other mode is already Hermitian and is left as computed.
template <bool kFriction, bool kAnti>
void StokesWorkspace2D::State::symmetrise_nyquist(const FlowConstants& c) {
  const Count nx = spectral.nx();
  const Count ny = spectral.ny();
  const Count nyh = spectral.half_ny();
  const std::vector<double>& kx = spectral.kx();
  const std::vector<double>& ky = spectral.ky();
  auto symmetrise = [&](Count i, Count j) {
    const Count k = i * nyh + j;
    const Count mi = mirror_index(i, nx);
    const Count mj = mirror_index(j, ny);
    const Complex a = kAnti ? anti_hat[k] : Complex(0.0, 0.0);
    Complex qxx_m = std::conj(qxx_hat[k]);
    Complex qxy_m = std::conj(qxy_hat[k]);
    Complex a_m = std::conj(a);
    if (mj < nyh) {
      qxx_m = qxx_hat[mi * nyh + mj];
      qxy_m = qxy_hat[mi * nyh + mj];
      if constexpr (kAnti) a_m = anti_hat[mi * nyh + mj];
    }
    const ModeFlow here = mode_flow<kFriction, kAnti>(kx[i], ky[j], qxx_hat[k], qxy_hat[k], a, c);
    const ModeFlow there = mode_flow<kFriction, kAnti>(kx[mi], ky[mj], qxx_m, qxy_m, a_m, c);
    ux_hat[k] = (here.ux + std::conj(there.ux)) * 0.5;
    uy_hat[k] = (here.uy + std::conj(there.uy)) * 0.5;
  };
  if (nx % 2 == 0) {
    for (Count j = 0; j < nyh; ++j) symmetrise(nx / 2, j);
  }
  if (ny % 2 == 0) {
    for (Count i = 0; i < nx; ++i) {
      if (!is_nyquist(i, nx)) symmetrise(i, ny / 2);
    }
  }
}

StokesWorkspace2D::StokesWorkspace2D(Count nx, Count ny, double dx)
    : state_(std::make_unique<State>(nx, ny, dx)) {}
StokesWorkspace2D::~StokesWorkspace2D() = default;
StokesWorkspace2D::StokesWorkspace2D(StokesWorkspace2D&&) noexcept = default;
StokesWorkspace2D& StokesWorkspace2D::operator=(StokesWorkspace2D&&) noexcept = default;

// The flow spectrum of the transformed sources, with or without friction (a zero friction
// keeps the frictionless divisor and its rounding).
template <bool kAnti>
void StokesWorkspace2D::State::flow(const FlowConstants& c) {
  if (c.friction == 0.0) {
    flow_spectrum<false, kAnti>(c);
    symmetrise_nyquist<false, kAnti>(c);
  } else {
    flow_spectrum<true, kAnti>(c);
    symmetrise_nyquist<true, kAnti>(c);
  }
}

void StokesWorkspace2D::State::begin(Count nx, Count ny, double dx, VelocityField2D& out) const {
  out.nx = nx;
  out.ny = ny;
  out.dx = dx;
  out.data.resize(2 * spectral.points());
}

// Inverse transforms of the flow spectrum into (ux, uy) records.
void StokesWorkspace2D::State::finish(VelocityField2D& out) {
  spectral.inverse_unnormalised(ux_hat, qxx);
  spectral.inverse_unnormalised(uy_hat, qxy);
  const double divisor = spectral.divisor();
  lodestra_core::parallel_for(
      0, spectral.points(), lodestra_core::grain_for(2), [&](Count b, Count e) {
        interleave_scaled(qxx.data() + b, qxy.data() + b, out.data.data() + 2 * b, e - b, divisor);
      });
}

void StokesWorkspace2D::solve(const QField2D& q, const RidiParams& params, VelocityField2D& out) {
  solve(q, params, 0.0, out);
}

void StokesWorkspace2D::solve(const QField2D& q, const RidiParams& params, double friction,
                              VelocityField2D& out) {
  State& s = *state_;
  lodestra_core::assert_eq(q.nx, s.spectral.nx());
  lodestra_core::assert_eq(q.ny, s.spectral.ny());
  const Count n = s.spectral.points();
  if (q.data.size() != 2 * n) {
    lodestra_core::panic("QField2D holds " + lodestra_core::fmt_int(q.data.size()) +
                         " values, its grid needs " + lodestra_core::fmt_int(2 * n));
  }
  if (!same_bits(q.dx, s.spectral.dx())) s.spectral.set_dx(q.dx);

  s.begin(q.nx, q.ny, q.dx, out);
  if (n == 0) return;

  lodestra_core::parallel_for(0, n, lodestra_core::grain_for(2), [&](Count b, Count e) {
    split(q.data.data() + 2 * b, s.qxx.data() + b, s.qxy.data() + b, e - b);
  });
  s.spectral.forward(s.qxx, s.qxx_hat);
  s.spectral.forward(s.qxy, s.qxy_hat);
  s.flow<false>(FlowConstants{params.zeta_eff, params.eta, friction});
  s.finish(out);
}

StokesWorkspace2D::StressPlanes StokesWorkspace2D::stress_planes() {
  State& s = *state_;
  if (s.anti.size() != s.spectral.points()) {
    s.anti = fft::RealBuffer(s.spectral.points());
    s.anti_hat = fft::ComplexBuffer(s.spectral.modes());
  }
  return StressPlanes{s.qxx.data(), s.qxy.data(), s.anti.data()};
}

void StokesWorkspace2D::solve_stress(double dx, double eta, double friction, VelocityField2D& out) {
  State& s = *state_;
  if (s.anti.size() != s.spectral.points()) {
    lodestra_core::panic("a stress source is solved before its planes are filled");
  }
  if (!same_bits(dx, s.spectral.dx())) s.spectral.set_dx(dx);
  s.begin(s.spectral.nx(), s.spectral.ny(), dx, out);
  if (s.spectral.points() == 0) return;
  s.spectral.forward(s.qxx, s.qxx_hat);
  s.spectral.forward(s.qxy, s.qxy_hat);
  s.spectral.forward(s.anti, s.anti_hat);
  s.flow<true>(FlowConstants{1.0, eta, friction});
  s.finish(out);
}

namespace {

thread_local RecentWorkspaces<StokesWorkspace2D> recent_workspaces;

}  // namespace

VelocityField2D stokes_solve(const QField2D& q, const RidiParams& params) {
  VelocityField2D out;
  recent_workspaces.with(q.nx, q.ny, q.dx,
                         [&](StokesWorkspace2D& workspace) { workspace.solve(q, params, out); });
  return out;
}

}  // namespace lodestra_solver
