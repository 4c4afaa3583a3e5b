#include "lodestra_core/panic.hpp"
#include "lodestra_fields/fields2d.hpp"
#include "lodestra_fields/stencils.hpp"

namespace lodestra_fields {

VelocityField2D VelocityField2D::zeros(Count nx, Count ny, double dx) {
  return VelocityField2D{nx, ny, dx, field_storage("VelocityField2D", nx, ny, 2)};
}

QField2D VelocityField2D::advect(const QField2D& q) const {
  lodestra_core::assert_eq(nx, q.nx);
  lodestra_core::assert_eq(ny, q.ny);
  QField2D out{nx, ny, dx, field_storage("QField2D", nx, ny, 2)};
  const double* f = q.data.data();
  const double* u = data.data();
  double* a = out.data.data();
  for_each_stencil(nx, ny, [&](const Stencil& s) {
    const double ux = u[2 * s.k];
    const double uy = u[2 * s.k + 1];
    for (Count c = 0; c < 2; ++c) {
      a[2 * s.k + c] = upwind(f[2 * s.k + c], f[2 * s.xp + c], f[2 * s.xm + c], f[2 * s.yp + c],
                              f[2 * s.ym + c], ux, uy, dx);
    }
  });
  return out;
}

ScalarField2D VelocityField2D::advect_scalar(const ScalarField2D& phi) const {
  lodestra_core::assert_eq(nx, phi.nx);
  lodestra_core::assert_eq(ny, phi.ny);
  ScalarField2D out{nx, ny, dx, field_storage("ScalarField2D", nx, ny, 1)};
  const double* f = phi.data.data();
  const double* u = data.data();
  double* a = out.data.data();
  for_each_stencil(nx, ny, [&](const Stencil& s) {
    a[s.k] = upwind(f[s.k], f[s.xp], f[s.xm], f[s.yp], f[s.ym], u[2 * s.k], u[2 * s.k + 1], dx);
  });
  return out;
}

}  // namespace lodestra_fields
