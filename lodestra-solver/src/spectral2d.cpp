#include "lodestra_solver/spectral2d.hpp"

#include <array>

#include "lodestra_fields/grid.hpp"

namespace lodestra_solver {

std::vector<double> wavenumber_table(Count n, double dx) {
  std::vector<double> k(n);
  for (Count i = 0; i < n; ++i) k[i] = wavenumber(i, n, dx);
  return k;
}

namespace {

std::array<Count, 2> extents(Count nx, Count ny) { return {nx, ny}; }

}  // namespace

Spectral2D::Spectral2D(Count nx, Count ny, double dx)
    : nx_(nx),
      ny_(ny),
      dx_(dx),
      half_ny_(nx == 0 || ny == 0 ? 0 : ny / 2 + 1),
      points_(lodestra_fields::vertex_count(nx, ny)),
      modes_(lodestra_core::checked_mul(nx, half_ny_)),
      kx_(wavenumber_table(nx, dx)),
      ky_(wavenumber_table(ny, dx)),
      forward_(extents(nx, ny)),
      inverse_(extents(nx, ny)) {}

void Spectral2D::set_dx(double dx) {
  dx_ = dx;
  kx_ = wavenumber_table(nx_, dx);
  ky_ = wavenumber_table(ny_, dx);
}

}  // namespace lodestra_solver
