#include <limits>

#include "lodestra_fields/fields3d.hpp"

namespace lodestra_fields {

ScalarField3D ScalarField3D::zeros(Count nx, Count ny, Count nz, double dx) {
  return ScalarField3D{nx, ny, nz, dx, field_storage("ScalarField3D", nx, ny, nz, 1)};
}

ScalarField3D ScalarField3D::uniform(Count nx, Count ny, Count nz, double dx, double value) {
  return ScalarField3D{nx, ny, nz, dx, field_storage("ScalarField3D", nx, ny, nz, 1, value)};
}

double ScalarField3D::mean() const {
  double sum = 0.0;
  for (double v : data) sum += v;
  return sum / static_cast<double>(len());
}

double ScalarField3D::max() const {
  double best = -std::numeric_limits<double>::infinity();
  for (double v : data) {
    if (v > best) best = v;  // NaN skipped
  }
  return best;
}

PressureField3D PressureField3D::zeros(Count nx, Count ny, Count nz, double dx) {
  return PressureField3D{nx, ny, nz, dx, field_storage("PressureField3D", nx, ny, nz, 1)};
}

}  // namespace lodestra_fields
