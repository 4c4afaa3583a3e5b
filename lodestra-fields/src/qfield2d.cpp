#include <cmath>

#include "lodestra_core/panic.hpp"
#include "lodestra_core/sizes.hpp"
#include "lodestra_fields/fields2d.hpp"
#include "lodestra_fields/random.hpp"
#include "lodestra_fields/stencils.hpp"

namespace lodestra_fields {

std::vector<double> grid_storage(Count nx, Count ny, Count per_vertex, double fill) {
  return std::vector<double>(lodestra_core::checked_mul(vertex_count(nx, ny), per_vertex), fill);
}

QField2D QField2D::zeros(Count nx, Count ny, double dx) {
  return QField2D{nx, ny, dx, grid_storage(nx, ny, 2)};
}

QField2D QField2D::uniform(Count nx, Count ny, std::array<double, 2> q, double dx) {
  QField2D out{nx, ny, dx, grid_storage(nx, ny, 2)};
  for (Count k = 0; k < out.len(); ++k) {
    out.data[2 * k] = q[0];
    out.data[2 * k + 1] = q[1];
  }
  return out;
}

QField2D QField2D::random_perturbation(Count nx, Count ny, double dx, double amplitude,
                                       std::uint64_t seed) {
  QField2D out{nx, ny, dx, grid_storage(nx, ny, 2)};
  Lcg64 lcg{seed + 1};
  // The top 32 bits of each state, scaled to [0, 1] and mapped to
  // amplitude * (2u - 1); two draws per vertex, q1 first.
  auto component = [&](std::uint64_t x) {
    const double u = static_cast<double>(x >> 32) / 4294967295.0;
    return amplitude * (2.0 * u - 1.0);
  };
  for (double& value : out.data) value = component(lcg.next());
  return out;
}

QField2D QField2D::laplacian() const {
  QField2D out{nx, ny, dx, grid_storage(nx, ny, 2)};
  const double dx2 = dx * dx;
  const double* f = data.data();
  double* l = out.data.data();
  for_each_stencil(nx, ny, [&](const Stencil& s) {
    for (Count c = 0; c < 2; ++c) {
      l[2 * s.k + c] = laplacian5(f[2 * s.k + c], f[2 * s.xp + c], f[2 * s.xm + c], f[2 * s.yp + c],
                                  f[2 * s.ym + c], dx2);
    }
  });
  return out;
}

QField2D QField2D::add(const QField2D& other) const {
  lodestra_core::assert_eq(nx, other.nx);
  lodestra_core::assert_eq(ny, other.ny);
  QField2D out{nx, ny, dx, grid_storage(nx, ny, 2)};
  for (std::size_t i = 0; i < out.data.size(); ++i) out.data[i] = data[i] + other.data[i];
  return out;
}

QField2D QField2D::scale(double factor) const {
  QField2D out{nx, ny, dx, grid_storage(nx, ny, 2)};
  for (std::size_t i = 0; i < out.data.size(); ++i) out.data[i] = data[i] * factor;
  return out;
}

std::vector<double> QField2D::order_param_sq() const {
  std::vector<double> out(len());
  for (Count k = 0; k < len(); ++k) out[k] = q1(k) * q1(k) + q2(k) * q2(k);
  return out;
}

double QField2D::mean_order_param() const {
  // Sum of S = 2 sqrt(q1^2 + q2^2) over the vertices in index order.
  double sum = 0.0;
  for (Count k = 0; k < len(); ++k) sum += scalar_order(q1(k), q2(k));
  return sum / static_cast<double>(nx * ny);
}

double QField2D::max_norm() const {
  double best = 0.0;
  for (Count k = 0; k < len(); ++k) {
    const double norm = std::sqrt(q1(k) * q1(k) + q2(k) * q2(k));
    if (norm > best) best = norm;  // NaN never compares greater: skipped
  }
  return best;
}

std::vector<std::array<double, 9>> QField2D::to_q3d() const {
  std::vector<std::array<double, 9>> out(len());
  for (Count k = 0; k < len(); ++k) {
    out[k] = {q1(k), q2(k), 0.0, q2(k), -q1(k), 0.0, 0.0, 0.0, 0.0};
  }
  return out;
}

}  // namespace lodestra_fields
