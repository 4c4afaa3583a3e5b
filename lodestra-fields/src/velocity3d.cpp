#include "lodestra_fields/fields3d.hpp"

namespace lodestra_fields {

VelocityField3D VelocityField3D::zeros(Count nx, Count ny, Count nz, double dx) {
  return VelocityField3D{nx, ny, nz, dx, field_storage("VelocityField3D", nx, ny, nz, kWidth)};
}

VelocityField3D VelocityField3D::uniform(Count nx, Count ny, Count nz, std::array<double, 3> u,
                                         double dx) {
  VelocityField3D out{nx, ny, nz, dx, field_storage("VelocityField3D", nx, ny, nz, kWidth)};
  double* d = out.data.data();
  for (Count k = 0; k < out.len(); ++k) {
    for (Count c = 0; c < kWidth; ++c) d[kWidth * k + c] = u[c];
  }
  return out;
}

VelocityGradient VelocityField3D::velocity_gradient_at(Count k) const {
  const Vertex3 v = split_index(k, ny, nz);
  const double* u = data.data();
  auto at = [&](Count i, Count j, Count l) { return u + kWidth * flat_index(i, j, l, ny, nz); };
  return velocity_gradient(at(next_index(v.i, nx), v.j, v.l), at(prev_index(v.i, nx), v.j, v.l),
                           at(v.i, next_index(v.j, ny), v.l), at(v.i, prev_index(v.j, ny), v.l),
                           at(v.i, v.j, next_index(v.l, nz)), at(v.i, v.j, prev_index(v.l, nz)),
                           1.0 / (2.0 * dx));
}

}  // namespace lodestra_fields
