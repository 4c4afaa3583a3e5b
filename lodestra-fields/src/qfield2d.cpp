#include <algorithm>
#include <cmath>
#include <string>

#include "lodestra_core/format.hpp"
#include "lodestra_core/panic.hpp"
#include "lodestra_core/simd.hpp"
#include "lodestra_core/sizes.hpp"
#include "lodestra_fields/fields2d.hpp"
#include "lodestra_fields/random.hpp"
#include "lodestra_fields/stencils.hpp"

namespace lodestra_fields {

std::vector<double> field_storage(const char* type, Count nx, Count ny, Count per_vertex,
                                  double fill) {
  const Count values = lodestra_core::checked_mul(vertex_count(nx, ny), per_vertex);
  return lodestra_core::allocate_values(values, fill, [&] {
    return std::string(type) + " of " + lodestra_core::fmt_int(nx) + " x " +
           lodestra_core::fmt_int(ny) + " vertices";
  });
}

std::vector<double> grid_storage(Count nx, Count ny, Count per_vertex, double fill) {
  return field_storage("grid storage", nx, ny, per_vertex, fill);
}

QField2D QField2D::zeros(Count nx, Count ny, double dx) {
  return QField2D{nx, ny, dx, field_storage("QField2D", nx, ny, 2)};
}

QField2D QField2D::uniform(Count nx, Count ny, std::array<double, 2> q, double dx) {
  QField2D out{nx, ny, dx, field_storage("QField2D", nx, ny, 2)};
  for (Count k = 0; k < out.len(); ++k) {
    out.data[2 * k] = q[0];
    out.data[2 * k + 1] = q[1];
  }
  return out;
}

QField2D QField2D::random_perturbation(Count nx, Count ny, double dx, double amplitude,
                                       std::uint64_t seed) {
  QField2D out{nx, ny, dx, field_storage("QField2D", nx, ny, 2)};
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

namespace {

LODESTRA_SIMD_CLONES
void laplacian_pairs(const double* f, double* l, Count nx, Count ny, double dx) {
  laplacian_records<2>(f, l, nx, ny, dx);
}

}  // namespace

QField2D QField2D::laplacian() const {
  QField2D out{nx, ny, dx, field_storage("QField2D", nx, ny, 2)};
  laplacian_pairs(data.data(), out.data.data(), nx, ny, dx);
  return out;
}

QField2D QField2D::add(const QField2D& other) const {
  lodestra_core::assert_eq(nx, other.nx);
  lodestra_core::assert_eq(ny, other.ny);
  QField2D out{nx, ny, dx, field_storage("QField2D", nx, ny, 2)};
  for (std::size_t i = 0; i < out.data.size(); ++i) out.data[i] = data[i] + other.data[i];
  return out;
}

QField2D QField2D::scale(double factor) const {
  QField2D out{nx, ny, dx, field_storage("QField2D", nx, ny, 2)};
  for (std::size_t i = 0; i < out.data.size(); ++i) out.data[i] = data[i] * factor;
  return out;
}

std::vector<double> QField2D::order_param_sq() const {
  std::vector<double> out(len());
  for (Count k = 0; k < len(); ++k) out[k] = q1(k) * q1(k) + q2(k) * q2(k);
  return out;
}

namespace {

LODESTRA_SIMD_CLONES
void scalar_orders(const double* q, Count n, double* out) {
  for (Count k = 0; k < n; ++k) out[k] = scalar_order(q[2 * k], q[2 * k + 1]);
}

// Largest q1^2 + q2^2, NaN skipped. The maximum of values that are all >= +0 or
// NaN does not depend on the order of comparison, so eight running maxima are
// kept side by side and merged at the end.
LODESTRA_SIMD_CLONES
double max_squared_norm(const double* q, Count n) {
  constexpr Count kLanes = 8;
  double lane[kLanes] = {};
  Count k = 0;
  for (; k + kLanes <= n; k += kLanes) {
    for (Count l = 0; l < kLanes; ++l) {
      const double a = q[2 * (k + l)];
      const double b = q[2 * (k + l) + 1];
      const double v = a * a + b * b;
      lane[l] = v > lane[l] ? v : lane[l];
    }
  }
  double best = 0.0;
  for (; k < n; ++k) {
    const double v = q[2 * k] * q[2 * k] + q[2 * k + 1] * q[2 * k + 1];
    best = v > best ? v : best;
  }
  for (double v : lane) best = v > best ? v : best;
  return best;
}

// Vertices per block of the reductions: the per-vertex values of a block are
// computed vectorised into a small buffer, then reduced in index order.
constexpr Count kBlock = 512;

}  // namespace

void QField2D::order_param_into(double* out) const { scalar_orders(data.data(), len(), out); }

void QField2D::director_angle_into(double* out) const {
  for (Count k = 0; k < len(); ++k) out[k] = director_angle(q1(k), q2(k));
}

double QField2D::mean_order_param() const {
  // Sum of S = 2 sqrt(q1^2 + q2^2) over the vertices in index order.
  double block[kBlock];
  double sum = 0.0;
  for (Count start = 0; start < len(); start += kBlock) {
    const Count n = std::min(kBlock, len() - start);
    scalar_orders(data.data() + 2 * start, n, block);
    for (Count k = 0; k < n; ++k) sum += block[k];
  }
  return sum / static_cast<double>(nx * ny);
}

double QField2D::max_norm() const {
  // sqrt is monotonic and correctly rounded, so the largest norm is the square
  // root of the largest q1^2 + q2^2.
  return std::sqrt(max_squared_norm(data.data(), len()));
}

std::vector<std::array<double, 9>> QField2D::to_q3d() const {
  std::vector<std::array<double, 9>> out(len());
  for (Count k = 0; k < len(); ++k) {
    out[k] = embed_q3d(q1(k), q2(k));
  }
  return out;
}

}  // namespace lodestra_fields
