#include "lodestra_solver/spectral3d.hpp"

#include <array>

#include "lodestra_core/sizes.hpp"

namespace lodestra_solver {

std::vector<double> modified_wavenumber_table(Count n, double dx) {
  std::vector<double> k(n);
  for (Count i = 0; i < n; ++i) k[i] = modified_wavenumber(i, n, dx);
  return k;
}

namespace {

std::array<Count, 3> extents(Count nx, Count ny, Count nz) { return {nx, ny, nz}; }

}  // namespace

Spectral3D::Spectral3D(Count nx, Count ny, Count nz, double dx)
    : nx_(nx),
      ny_(ny),
      nz_(nz),
      dx_(dx),
      half_nz_(nx == 0 || ny == 0 || nz == 0 ? 0 : nz / 2 + 1),
      points_(lodestra_fields::vertex_count(nx, ny, nz)),
      modes_(lodestra_core::checked_mul(lodestra_core::checked_mul(nx, ny), half_nz_)),
      reciprocal_(1.0 / static_cast<double>(points_)),
      kx_(modified_wavenumber_table(nx, dx)),
      ky_(modified_wavenumber_table(ny, dx)),
      kz_(modified_wavenumber_table(nz, dx)),
      forward_(extents(nx, ny, nz)),
      inverse_(extents(nx, ny, nz)) {}

void Spectral3D::set_dx(double dx) {
  dx_ = dx;
  kx_ = modified_wavenumber_table(nx_, dx);
  ky_ = modified_wavenumber_table(ny_, dx);
  kz_ = modified_wavenumber_table(nz_, dx);
}

}  // namespace lodestra_solver
