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
  // G[a][b] = d_a u_b by periodic central differences, h = 1/(2 dx); then
  // D = (G + G^T)/2 and W = (G - G^T)/2, the diagonals included as written.
  const Vertex3 v = split_index(k, ny, nz);
  const Count fwd[3] = {flat_index(next_index(v.i, nx), v.j, v.l, ny, nz),
                        flat_index(v.i, next_index(v.j, ny), v.l, ny, nz),
                        flat_index(v.i, v.j, next_index(v.l, nz), ny, nz)};
  const Count bwd[3] = {flat_index(prev_index(v.i, nx), v.j, v.l, ny, nz),
                        flat_index(v.i, prev_index(v.j, ny), v.l, ny, nz),
                        flat_index(v.i, v.j, prev_index(v.l, nz), ny, nz)};
  const double h = 1.0 / (2.0 * dx);
  double g[3][3];
  for (int a = 0; a < 3; ++a) {
    for (int b = 0; b < 3; ++b) {
      g[a][b] = h * (data[kWidth * fwd[a] + b] - data[kWidth * bwd[a] + b]);
    }
  }
  VelocityGradient out;
  for (int a = 0; a < 3; ++a) {
    for (int b = 0; b < 3; ++b) {
      out.d[3 * a + b] = 0.5 * (g[a][b] + g[b][a]);
      out.w[3 * a + b] = 0.5 * (g[a][b] - g[b][a]);
    }
  }
  return out;
}

}  // namespace lodestra_fields
