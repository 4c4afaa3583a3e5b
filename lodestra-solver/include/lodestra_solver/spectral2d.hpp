#pragma once
// The 2D Fourier conventions of the solver, written once.
//
// Forward transform of a real field f (vertex (a, b) at a*ny + b), unnormalised:
//   F(p, s) = sum_{a,b} f(a, b) exp(-2 pi I (a p / nx + b s / ny)).
// Inverse transform of a spectrum X:
//   f(a, b) = Re[ sum_{p,s} X(p, s) exp(+2 pi I (a p / nx + b s / ny)) ] / (nx*ny),
//   one division by the double made from the integer product nx*ny.
// Layout: the half spectrum of fft.hpp. Mode (p, s), s = 0 .. ny/2, sits at p*(ny/2 + 1) + s;
//   the other modes follow from F(-p, -s) = conj(F(p, s)), true for the spectrum of a real
//   field. The real part of the inverse of any spectrum X is the inverse of its Hermitian
//   part (X(k) + conj(X(-k))) / 2, so a spectrum that is not Hermitian is stored as that part.
// Wavenumbers: k(i) = (m 2pi) / (dx n), m = i - n if i > n/2 (integer division) else i; the
//   product m 2pi is formed first, 2pi = 6.283185307179586. For even n the Nyquist index n/2
//   gets +pi/dx, so k(-i) = -k(i) everywhere except at that index. Both axes use dx.
// Derivatives: d/dx <-> I kx, d/dy <-> I ky.
// Mean mode: a mode with k^2 = kx^2 + ky^2 < 1e-14 is treated as the zero mode.

#include <cstdint>
#include <vector>

#include "lodestra_fields/grid.hpp"
#include "lodestra_solver/fft.hpp"

namespace lodestra_solver {

using lodestra_fields::Count;

inline constexpr double kTwoPi = 6.283185307179586;
inline constexpr double kZeroModeK2 = 1e-14;

// Signed frequency of index i on an axis of n points: i - n above n/2, else i.
inline std::int64_t signed_frequency(Count i, Count n) {
  return i > n / 2 ? static_cast<std::int64_t>(i - n) : static_cast<std::int64_t>(i);
}

// k(i) = (m 2pi) / (dx n).
inline double wavenumber(Count i, Count n, double dx) {
  return (static_cast<double>(signed_frequency(i, n)) * kTwoPi) / (dx * static_cast<double>(n));
}

// The index of the frequency -m: (n - i) mod n.
inline Count mirror_index(Count i, Count n) { return i == 0 ? 0 : n - i; }

// True at the Nyquist index of an even axis, where k(-i) = k(i) = +pi/dx.
inline bool is_nyquist(Count i, Count n) { return n % 2 == 0 && i == n / 2; }

// The mean mode, and any mode this close to it, is left to the caller's zero-mode rule.
// NaN is not a zero mode.
inline bool is_zero_mode(double k2) { return k2 < kZeroModeK2; }

// k(i) for i = 0 .. n-1.
std::vector<double> wavenumber_table(Count n, double dx);

// Plans and wavenumber tables of one nx x ny grid. Built once per grid, reused by every
// transform on it. An empty grid (nx or ny zero) has empty plans.
class Spectral2D {
 public:
  Spectral2D(Count nx, Count ny, double dx);

  Count nx() const { return nx_; }
  Count ny() const { return ny_; }
  double dx() const { return dx_; }
  // Stored modes per row: ny/2 + 1 (0 for an empty grid).
  Count half_ny() const { return half_ny_; }
  Count points() const { return points_; }
  Count modes() const { return modes_; }
  const std::vector<double>& kx() const { return kx_; }
  const std::vector<double>& ky() const { return ky_; }
  // nx*ny as a double: the divisor of every inverse transform.
  double divisor() const { return static_cast<double>(points_); }

  // Rebuilds the wavenumber tables for another spacing (the plans do not depend on it).
  void set_dx(double dx);

  // spectrum = F(field), unnormalised; field holds points() values, spectrum modes().
  void forward(const fft::RealBuffer& field, fft::ComplexBuffer& spectrum) const {
    forward_.execute(field, spectrum);
  }
  // field = sum_p X(p) exp(+...), NOT yet divided by divisor(). Overwrites the spectrum,
  // which must be Hermitian (see above).
  void inverse_unnormalised(fft::ComplexBuffer& spectrum, fft::RealBuffer& field) const {
    inverse_.execute(spectrum, field);
  }

 private:
  Count nx_;
  Count ny_;
  double dx_;
  Count half_ny_;
  Count points_;
  Count modes_;
  std::vector<double> kx_;
  std::vector<double> ky_;
  fft::RealForward forward_;
  fft::RealInverse inverse_;
};

}  // namespace lodestra_solver
