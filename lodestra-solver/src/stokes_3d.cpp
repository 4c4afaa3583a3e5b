#include "lodestra_solver/stokes_3d.hpp"

#include <bit>
#include <cstdint>
#include <vector>

#include "lodestra_core/format.hpp"
#include "lodestra_core/panic.hpp"
#include "lodestra_core/simd.hpp"
#include "lodestra_core/threads.hpp"
#include "lodestra_fields/grid.hpp"
#include "lodestra_solver/fft.hpp"
#include "lodestra_solver/recent_workspaces.hpp"
#include "lodestra_solver/spectral3d.hpp"

namespace lodestra_solver {

namespace {

using fft::Complex;
using lodestra_core::RidiParams3D;
using lodestra_fields::QField3D;
using lodestra_fields::VelocityField3D;

struct ModeFlow {
  Complex ux;
  Complex uy;
  Complex uz;
};

// One mode, not a zero mode, with k^2 = (kx^2 + ky^2) + kz^2:
//   s = kx fx^ + ky fy^ + kz fz^,  g = 1 / (eta k^2),
//   ua^ = (fa^ - (ka / k^2) s) g   for a = x, y, z,
// the transverse projection of the force divided by eta k^2, real and imaginary parts alike.
// With substrate friction Gamma_f (eta lap u - Gamma_f u - grad p + f = 0) the divisor is
// eta k^2 + Gamma_f: g = 1 / (eta k^2 + Gamma_f) (kFriction; without it g keeps its rounding).
template <bool kFriction>
inline void project(double kx, double ky, double kz, double eta, double friction, const double* f,
                    double* u) {
  const double k2 = wavenumber_sq_3d(kx, ky, kz);
  const double s_re = (kx * f[0] + ky * f[2]) + kz * f[4];
  const double s_im = (kx * f[1] + ky * f[3]) + kz * f[5];
  const double g = kFriction ? 1.0 / (eta * k2 + friction) : 1.0 / (eta * k2);
  const double cx = kx / k2;
  const double cy = ky / k2;
  const double cz = kz / k2;
  u[0] = (f[0] - cx * s_re) * g;
  u[1] = (f[1] - cx * s_im) * g;
  u[2] = (f[2] - cy * s_re) * g;
  u[3] = (f[3] - cy * s_im) * g;
  u[4] = (f[4] - cz * s_re) * g;
  u[5] = (f[5] - cz * s_im) * g;
}

template <bool kFriction>
inline ModeFlow mode_flow(double kx, double ky, double kz, double eta, double friction, Complex fx,
                          Complex fy, Complex fz) {
  if (is_zero_mode(wavenumber_sq_3d(kx, ky, kz))) return {};
  const double f[6] = {fx.real(), fx.imag(), fy.real(), fy.imag(), fz.real(), fz.imag()};
  double u[6];
  project<kFriction>(kx, ky, kz, eta, friction, f, u);
  return {Complex(u[0], u[1]), Complex(u[2], u[3]), Complex(u[4], u[5])};
}

// u^ along one line of stored modes (fixed kx, ky), in place over the force spectra
// (complex values as (re, im) pairs). Branch-free so that it vectorises; the zero modes are
// cleared afterwards.
template <bool kFriction>
LODESTRA_SIMD_CLONES void flow_line(double kx, double ky, const double* __restrict kz, double eta,
                                    double friction, double* __restrict fx, double* __restrict fy,
                                    double* __restrict fz, Count count) {
  for (Count l = 0; l < count; ++l) {
    const double f[6] = {fx[2 * l],     fx[2 * l + 1], fy[2 * l],
                         fy[2 * l + 1], fz[2 * l],     fz[2 * l + 1]};
    double u[6];
    project<kFriction>(kx, ky, kz[l], eta, friction, f, u);
    fx[2 * l] = u[0];
    fx[2 * l + 1] = u[1];
    fy[2 * l] = u[2];
    fy[2 * l + 1] = u[3];
    fz[2 * l] = u[4];
    fz[2 * l + 1] = u[5];
  }
  for (Count l = 0; l < count; ++l) {
    if (is_zero_mode(wavenumber_sq_3d(kx, ky, kz[l]))) {
      fx[2 * l] = 0.0;
      fx[2 * l + 1] = 0.0;
      fy[2 * l] = 0.0;
      fy[2 * l + 1] = 0.0;
      fz[2 * l] = 0.0;
      fz[2 * l + 1] = 0.0;
    }
  }
}

// (ux, uy, uz) records from the unnormalised inverses, each value times 1/(nx ny nz).
LODESTRA_SIMD_CLONES
void interleave_scaled(const double* __restrict ux, const double* __restrict uy,
                       const double* __restrict uz, double* __restrict u, Count n,
                       double reciprocal) {
  for (Count k = 0; k < n; ++k) {
    u[3 * k] = ux[k] * reciprocal;
    u[3 * k + 1] = uy[k] * reciprocal;
    u[3 * k + 2] = uz[k] * reciprocal;
  }
}

bool same_bits(double a, double b) {
  return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}

void check_field(const QField3D& q) {
  const Count n = lodestra_fields::vertex_count(q.nx, q.ny, q.nz);
  if (q.data.size() / QField3D::kWidth != n || q.data.size() % QField3D::kWidth != 0) {
    lodestra_core::panic("QField3D holds " + lodestra_core::fmt_int(q.data.size()) +
                         " values, its grid needs " + lodestra_core::fmt_int(QField3D::kWidth * n));
  }
}

}  // namespace

struct StokesWorkspace3D::State {
  Spectral3D spectral;
  fft::RealBuffer fx;  // the force, then the unnormalised velocity
  fft::RealBuffer fy;
  fft::RealBuffer fz;
  fft::ComplexBuffer fx_hat;  // the force spectrum, then the flow spectrum
  fft::ComplexBuffer fy_hat;
  fft::ComplexBuffer fz_hat;
  // Hermitian parts of the flow at the modes on a Nyquist plane, computed before the
  // force spectrum is overwritten.
  std::vector<Count> nyquist_modes;
  std::vector<ModeFlow> nyquist_flow;

  State(Count nx, Count ny, Count nz, double dx)
      : spectral(nx, ny, nz, dx),
        fx(spectral.points()),
        fy(spectral.points()),
        fz(spectral.points()),
        fx_hat(spectral.modes()),
        fy_hat(spectral.modes()),
        fz_hat(spectral.modes()) {
    list_nyquist_modes();
    nyquist_flow.resize(nyquist_modes.size());
  }

  void list_nyquist_modes();
  void force(const QField3D& q, double zeta);
  void add_stress_divergence(const double* sigma, double dx);
  template <bool kFriction>
  void symmetrise_nyquist(double eta, double friction);
  template <bool kFriction>
  void flow_spectrum(double eta, double friction);
};

// Stored modes with an index at the Nyquist index of an even axis, in storage order.
void StokesWorkspace3D::State::list_nyquist_modes() {
  const Count nx = spectral.nx();
  const Count ny = spectral.ny();
  const Count nz = spectral.nz();
  const Count nzh = spectral.half_nz();
  for (Count i = 0; i < nx; ++i) {
    for (Count j = 0; j < ny; ++j) {
      for (Count l = 0; l < nzh; ++l) {
        if (is_nyquist(i, nx) || is_nyquist(j, ny) || is_nyquist(l, nz)) {
          nyquist_modes.push_back((i * ny + j) * nzh + l);
        }
      }
    }
  }
}

// f = -zeta div Q with periodic central differences Da(F) = h (F(+1) - F(-1)), h = 1/(dx + dx):
//   fx = -zeta ((Dx Qxx + Dy Qxy) + Dz Qxz),
//   fy = -zeta ((Dx Qxy + Dy Qyy) + Dz Qyz),
//   fz = -zeta ((Dx Qxz + Dy Qyz) + Dz Qzz),  Dz Qzz = h ((Qxx + Qyy)(l-1) - (Qxx + Qyy)(l+1)).
void StokesWorkspace3D::State::force(const QField3D& q, double zeta) {
  const double h = 1.0 / (q.dx + q.dx);
  const double minus_zeta = -zeta;
  const double* r = q.data.data();
  double* ox = fx.data();
  double* oy = fy.data();
  double* oz = fz.data();
  lodestra_fields::parallel_stencil_3d(
      spectral.nx(), spectral.ny(), spectral.nz(), 5, [&](const lodestra_fields::Stencil3& s) {
        const double* xp = r + 5 * s.xp;
        const double* xm = r + 5 * s.xm;
        const double* yp = r + 5 * s.yp;
        const double* ym = r + 5 * s.ym;
        const double* zp = r + 5 * s.zp;
        const double* zm = r + 5 * s.zm;
        const double dx_qxx = h * (xp[0] - xm[0]);
        const double dx_qxy = h * (xp[1] - xm[1]);
        const double dx_qxz = h * (xp[2] - xm[2]);
        const double dy_qxy = h * (yp[1] - ym[1]);
        const double dy_qyy = h * (yp[3] - ym[3]);
        const double dy_qyz = h * (yp[4] - ym[4]);
        const double dz_qxz = h * (zp[2] - zm[2]);
        const double dz_qyz = h * (zp[4] - zm[4]);
        const double dz_qzz = h * ((zm[0] + zm[3]) - (zp[0] + zp[3]));
        ox[s.k] = minus_zeta * ((dx_qxx + dy_qxy) + dz_qxz);
        oy[s.k] = minus_zeta * ((dx_qxy + dy_qyy) + dz_qyz);
        oz[s.k] = minus_zeta * ((dx_qxz + dy_qyz) + dz_qzz);
      });
}

// f += div sigma for a stress held as nine planes of nx ny nz values (sigma_ab in plane
// 3a + b), with the same central differences: fa += (Dx sigma_ax + Dy sigma_ay) + Dz sigma_az.
void StokesWorkspace3D::State::add_stress_divergence(const double* sigma, double dx) {
  const double h = 1.0 / (dx + dx);
  const Count n = spectral.points();
  const double* __restrict sxx = sigma;
  const double* __restrict sxy = sigma + n;
  const double* __restrict sxz = sigma + 2 * n;
  const double* __restrict syx = sigma + 3 * n;
  const double* __restrict syy = sigma + 4 * n;
  const double* __restrict syz = sigma + 5 * n;
  const double* __restrict szx = sigma + 6 * n;
  const double* __restrict szy = sigma + 7 * n;
  const double* __restrict szz = sigma + 8 * n;
  double* __restrict ox = fx.data();
  double* __restrict oy = fy.data();
  double* __restrict oz = fz.data();
  lodestra_fields::parallel_stencil_3d(
      spectral.nx(), spectral.ny(), spectral.nz(), 9, [&](const lodestra_fields::Stencil3& s) {
        ox[s.k] = ox[s.k] + ((h * (sxx[s.xp] - sxx[s.xm]) + h * (sxy[s.yp] - sxy[s.ym])) +
                             h * (sxz[s.zp] - sxz[s.zm]));
        oy[s.k] = oy[s.k] + ((h * (syx[s.xp] - syx[s.xm]) + h * (syy[s.yp] - syy[s.ym])) +
                             h * (syz[s.zp] - syz[s.zm]));
        oz[s.k] = oz[s.k] + ((h * (szx[s.xp] - szx[s.xm]) + h * (szy[s.yp] - szy[s.ym])) +
                             h * (szz[s.zp] - szz[s.zm]));
      });
}

// On a Nyquist plane k(n/2) = sin(pi)/dx is its own mirror instead of changing sign, so the
// flow spectrum is not Hermitian there, and the real part of its inverse is the inverse of
// the Hermitian part H(k) = (X(k) + conj(X(-k))) / 2. X(-k) is the same formula with f^(-k):
// the stored value where -k is stored (planes l = 0 and l = nz/2), else conj(f^(k)) since f
// is real. Every other mode is Hermitian as computed.
template <bool kFriction>
void StokesWorkspace3D::State::symmetrise_nyquist(double eta, double friction) {
  const Count nx = spectral.nx();
  const Count ny = spectral.ny();
  const Count nz = spectral.nz();
  const Count nzh = spectral.half_nz();
  const std::vector<double>& kx = spectral.kx();
  const std::vector<double>& ky = spectral.ky();
  const std::vector<double>& kz = spectral.kz();
  for (std::size_t t = 0; t < nyquist_modes.size(); ++t) {
    const Count k = nyquist_modes[t];
    const Count l = k % nzh;
    const Count j = (k / nzh) % ny;
    const Count i = k / nzh / ny;
    const Count mi = mirror_index(i, nx);
    const Count mj = mirror_index(j, ny);
    const Count ml = mirror_index(l, nz);
    Complex gx = std::conj(fx_hat[k]);
    Complex gy = std::conj(fy_hat[k]);
    Complex gz = std::conj(fz_hat[k]);
    if (ml < nzh) {
      const Count m = (mi * ny + mj) * nzh + ml;
      gx = fx_hat[m];
      gy = fy_hat[m];
      gz = fz_hat[m];
    }
    const ModeFlow here =
        mode_flow<kFriction>(kx[i], ky[j], kz[l], eta, friction, fx_hat[k], fy_hat[k], fz_hat[k]);
    const ModeFlow there = mode_flow<kFriction>(kx[mi], ky[mj], kz[ml], eta, friction, gx, gy, gz);
    nyquist_flow[t] = {(here.ux + std::conj(there.ux)) * 0.5, (here.uy + std::conj(there.uy)) * 0.5,
                       (here.uz + std::conj(there.uz)) * 0.5};
  }
}

// u^ for every stored mode (i outer, l inner), over the force spectra.
template <bool kFriction>
void StokesWorkspace3D::State::flow_spectrum(double eta, double friction) {
  const Count nx = spectral.nx();
  const Count ny = spectral.ny();
  const Count nzh = spectral.half_nz();
  const double* kx = spectral.kx().data();
  const double* ky = spectral.ky().data();
  const double* kz = spectral.kz().data();
  // std::complex<double> is an array of two doubles.
  double* hx = reinterpret_cast<double*>(fx_hat.data());
  double* hy = reinterpret_cast<double*>(fy_hat.data());
  double* hz = reinterpret_cast<double*>(fz_hat.data());
  lodestra_core::parallel_for(0, nx * ny, lodestra_core::grain_for(3 * nzh),
                              [&](Count c0, Count c1) {
                                for (Count c = c0; c < c1; ++c) {
                                  const Count line = 2 * (c * nzh);
                                  flow_line<kFriction>(kx[c / ny], ky[c % ny], kz, eta, friction,
                                                       hx + line, hy + line, hz + line, nzh);
                                }
                              });
  for (std::size_t t = 0; t < nyquist_modes.size(); ++t) {
    const Count k = nyquist_modes[t];
    fx_hat[k] = nyquist_flow[t].ux;
    fy_hat[k] = nyquist_flow[t].uy;
    fz_hat[k] = nyquist_flow[t].uz;
  }
}

StokesWorkspace3D::StokesWorkspace3D(Count nx, Count ny, Count nz, double dx)
    : state_(std::make_unique<State>(nx, ny, nz, dx)) {}
StokesWorkspace3D::~StokesWorkspace3D() = default;
StokesWorkspace3D::StokesWorkspace3D(StokesWorkspace3D&&) noexcept = default;
StokesWorkspace3D& StokesWorkspace3D::operator=(StokesWorkspace3D&&) noexcept = default;

void StokesWorkspace3D::solve(const QField3D& q, const RidiParams3D& p, VelocityField3D& u) {
  solve(q, p, 0.0, u);
}

// A zero friction takes the frictionless divisor, bit for bit.
void StokesWorkspace3D::solve(const QField3D& q, const RidiParams3D& p, double friction,
                              VelocityField3D& u) {
  solve(q, p, friction, nullptr, u);
}

void StokesWorkspace3D::solve(const QField3D& q, const RidiParams3D& p, double friction,
                              const double* stress, VelocityField3D& u) {
  State& s = *state_;
  lodestra_core::assert_eq(q.nx, s.spectral.nx());
  lodestra_core::assert_eq(q.ny, s.spectral.ny());
  lodestra_core::assert_eq(q.nz, s.spectral.nz());
  check_field(q);
  if (!same_bits(q.dx, s.spectral.dx())) s.spectral.set_dx(q.dx);

  const Count n = s.spectral.points();
  u.nx = q.nx;
  u.ny = q.ny;
  u.nz = q.nz;
  u.dx = q.dx;
  u.data.resize(VelocityField3D::kWidth * n);
  if (n == 0) return;

  s.force(q, p.zeta_eff);
  if (stress != nullptr) s.add_stress_divergence(stress, q.dx);
  s.spectral.forward(s.fx, s.fx_hat);
  s.spectral.forward(s.fy, s.fy_hat);
  s.spectral.forward(s.fz, s.fz_hat);
  if (friction == 0.0) {
    s.symmetrise_nyquist<false>(p.eta, friction);
    s.flow_spectrum<false>(p.eta, friction);
  } else {
    s.symmetrise_nyquist<true>(p.eta, friction);
    s.flow_spectrum<true>(p.eta, friction);
  }
  s.spectral.inverse_unnormalised(s.fx_hat, s.fx);
  s.spectral.inverse_unnormalised(s.fy_hat, s.fy);
  s.spectral.inverse_unnormalised(s.fz_hat, s.fz);
  const double reciprocal = s.spectral.reciprocal();
  lodestra_core::parallel_for(0, n, lodestra_core::grain_for(3), [&](Count b, Count e) {
    interleave_scaled(s.fx.data() + b, s.fy.data() + b, s.fz.data() + b, u.data.data() + 3 * b,
                      e - b, reciprocal);
  });
}

namespace {

thread_local LastWorkspace3D<StokesWorkspace3D> last_workspace;

}  // namespace

void stokes_solve_3d_into(const QField3D& q, const RidiParams3D& p, VelocityField3D& u,
                          double friction, const std::vector<double>* stress) {
  check_field(q);
  if (stress != nullptr && stress->size() != 9 * q.len()) {
    lodestra_core::panic("the stress holds " + lodestra_core::fmt_int(stress->size()) +
                         " values, the grid needs " + lodestra_core::fmt_int(9 * q.len()));
  }
  last_workspace.for_grid(q.nx, q.ny, q.nz, q.dx)
      .solve(q, p, friction, stress ? stress->data() : nullptr, u);
}

std::pair<VelocityField3D, lodestra_fields::PressureField3D> stokes_solve_3d(
    const QField3D& q, const RidiParams3D& p) {
  VelocityField3D u;
  stokes_solve_3d_into(q, p, u);
  lodestra_fields::PressureField3D pressure{.nx = q.nx,
                                            .ny = q.ny,
                                            .nz = q.nz,
                                            .dx = q.dx,
                                            .data = std::vector<double>(u.data.size() / 3)};
  return {std::move(u), std::move(pressure)};
}

}  // namespace lodestra_solver
