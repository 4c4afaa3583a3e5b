#pragma once
// The 3D Fourier conventions of the solver, written once.
//
// Forward transform of a real field f (vertex (a, b, c) at (a*ny + b)*nz + c), unnormalised:
//   F(p, s, t) = sum f(a, b, c) exp(-2 pi I (a p / nx + b s / ny + c t / nz)).
// Inverse transform of a spectrum X:
//   f(a, b, c) = Re[ sum X(p, s, t) exp(+2 pi I (...)) ] * (1 / (nx*ny*nz)),
//   one division forms the reciprocal of the double made from nx*ny*nz, then one
//   multiplication per value.
// Layout: the half spectrum of fft.hpp. Mode (p, s, t), t = 0 .. nz/2, sits at
//   (p*ny + s)*(nz/2 + 1) + t; the others follow from F(-k) = conj(F(k)). The real part of
//   the inverse of any spectrum is the inverse of its Hermitian part (X(k) + conj(X(-k))) / 2,
//   so a spectrum that is not Hermitian is stored as that part.
// Wavenumbers: the Fourier multiplier of the central difference (f(+1) - f(-1)) / (2 dx),
//   k(i) = sin((m 2pi) / n) / dx, m = i - n if i > n/2 (integer division) else i, the product
//   m 2pi formed first, 2pi = 6.283185307179586. sin is odd, so k(-i) = -k(i) exactly except
//   at the Nyquist index n/2 of an even axis, its own mirror, where k = sin(pi)/dx, a
//   rounding-size positive value. All three axes use dx.
// Mean mode: a mode with k^2 = (kx^2 + ky^2) + kz^2 < 1e-14 is treated as the zero mode.

#include <cmath>
#include <cstdint>
#include <vector>

#include "lodestra_fields/grid.hpp"
#include "lodestra_solver/fft.hpp"
#include "lodestra_solver/spectral2d.hpp"

namespace lodestra_solver {

// k(i) = sin((m 2pi) / n) / dx.
inline double modified_wavenumber(Count i, Count n, double dx) {
  return std::sin((static_cast<double>(signed_frequency(i, n)) * kTwoPi) / static_cast<double>(n)) /
         dx;
}

// k(i) for i = 0 .. n-1.
std::vector<double> modified_wavenumber_table(Count n, double dx);

// k^2 = (kx^2 + ky^2) + kz^2, in that order.
inline double wavenumber_sq_3d(double kx, double ky, double kz) {
  return (kx * kx + ky * ky) + kz * kz;
}

// Plans and wavenumber tables of one nx x ny x nz grid, built once per grid and reused by
// every transform on it. An empty grid (a zero extent) has empty plans.
class Spectral3D {
 public:
  Spectral3D(Count nx, Count ny, Count nz, double dx);

  Count nx() const { return nx_; }
  Count ny() const { return ny_; }
  Count nz() const { return nz_; }
  double dx() const { return dx_; }
  // Stored modes per (p, s) line: nz/2 + 1 (0 for an empty grid).
  Count half_nz() const { return half_nz_; }
  Count points() const { return points_; }
  Count modes() const { return modes_; }
  const std::vector<double>& kx() const { return kx_; }
  const std::vector<double>& ky() const { return ky_; }
  const std::vector<double>& kz() const { return kz_; }
  // 1 / (nx*ny*nz): the factor of every inverse transform.
  double reciprocal() const { return reciprocal_; }

  // Rebuilds the wavenumber tables for another spacing (the plans do not depend on it).
  void set_dx(double dx);

  // spectrum = F(field), unnormalised; field holds points() values, spectrum modes().
  void forward(const fft::RealBuffer& field, fft::ComplexBuffer& spectrum) const {
    forward_.execute(field, spectrum);
  }
  // field = sum X(k) exp(+...), NOT yet multiplied by reciprocal(). Overwrites the spectrum,
  // which must be Hermitian (see above).
  void inverse_unnormalised(fft::ComplexBuffer& spectrum, fft::RealBuffer& field) const {
    inverse_.execute(spectrum, field);
  }

 private:
  Count nx_;
  Count ny_;
  Count nz_;
  double dx_;
  Count half_nz_;
  Count points_;
  Count modes_;
  double reciprocal_;
  std::vector<double> kx_;
  std::vector<double> ky_;
  std::vector<double> kz_;
  fft::RealForward forward_;
  fft::RealInverse inverse_;
};

}  // namespace lodestra_solver
