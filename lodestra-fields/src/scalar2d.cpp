#include <cmath>
#include <limits>

#include "lodestra_core/simd.hpp"
#include "lodestra_fields/fields2d.hpp"
#include "lodestra_fields/stencils.hpp"

namespace lodestra_fields {

ScalarField2D ScalarField2D::zeros(Count nx, Count ny, double dx) {
  return ScalarField2D{nx, ny, dx, field_storage("ScalarField2D", nx, ny, 1)};
}

ScalarField2D ScalarField2D::uniform(Count nx, Count ny, double dx, double value) {
  return ScalarField2D{nx, ny, dx, field_storage("ScalarField2D", nx, ny, 1, value)};
}

namespace {

LODESTRA_SIMD_CLONES
void laplacian_scalars(const double* f, double* l, Count nx, Count ny, double dx) {
  laplacian_records<1>(f, l, nx, ny, dx);
}

}  // namespace

ScalarField2D ScalarField2D::laplacian() const {
  ScalarField2D out{nx, ny, dx, field_storage("ScalarField2D", nx, ny, 1)};
  laplacian_scalars(data.data(), out.data.data(), nx, ny, dx);
  return out;
}

double ScalarField2D::mean_value() const {
  double sum = 0.0;
  for (double v : data) sum += v;
  return sum / static_cast<double>(len());
}

double ScalarField2D::variance() const {
  // max(<phi^2> - <phi>^2, 0): rounding never makes the variance negative. An
  // empty grid has variance 0; NaN values propagate.
  if (len() == 0) return 0.0;
  double s1 = 0.0;
  double s2 = 0.0;
  for (double v : data) {
    s1 += v;
    s2 += v * v;
  }
  const double n = static_cast<double>(len());
  const double var = s2 / n - (s1 / n) * (s1 / n);
  return var < 0.0 ? 0.0 : var;
}

double ScalarField2D::min_value() const {
  double best = std::numeric_limits<double>::infinity();
  for (double v : data) {
    if (v < best) best = v;  // NaN skipped
  }
  return best;
}

double ScalarField2D::max_value() const {
  double best = -std::numeric_limits<double>::infinity();
  for (double v : data) {
    if (v > best) best = v;  // NaN skipped
  }
  return best;
}

double ScalarField2D::mean_gradient_sq() const {
  // Central differences; (dx^2 * sum |grad phi|^2) / (dx^2 * N) is the grid
  // integral of |grad phi|^2 divided by the grid area.
  const double two_dx = 2.0 * dx;
  const double* f = data.data();
  double sum = 0.0;
  for_each_stencil(nx, ny, [&](const Stencil& s) {
    const double gx = (f[s.xp] - f[s.xm]) / two_dx;
    const double gy = (f[s.yp] - f[s.ym]) / two_dx;
    sum += gx * gx + gy * gy;
  });
  const double dx2 = dx * dx;
  return (dx2 * sum) / (dx2 * static_cast<double>(len()));
}

}  // namespace lodestra_fields
