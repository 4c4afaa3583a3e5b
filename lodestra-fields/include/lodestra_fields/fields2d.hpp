#pragma once
// The 2D grid fields. Plain values that own their data; every operation leaves
// its inputs alone and returns a new field. Storage follows grid.hpp.

#include <array>
#include <cmath>
#include <cstdint>
#include <vector>

#include "lodestra_fields/grid.hpp"

namespace lodestra_fields {

// Scalar order parameter of one vertex, S = 2 sqrt(q1^2 + q2^2).
inline double scalar_order(double q1, double q2) { return 2.0 * std::sqrt(q1 * q1 + q2 * q2); }
// Director angle of one vertex, theta = atan2(q2, q1) / 2, in [-pi/2, pi/2].
inline double director_angle(double q1, double q2) { return 0.5 * std::atan2(q2, q1); }
// The 3D tensor of one vertex, [[q1, q2, 0], [q2, -q1, 0], [0, 0, 0]], row-major.
inline std::array<double, 9> embed_q3d(double q1, double q2) {
  return {q1, q2, 0.0, q2, -q1, 0.0, 0.0, 0.0, 0.0};
}

// Traceless symmetric order tensor Q = [[q1, q2], [q2, -q1]] per vertex, stored
// as the records (q1, q2): data[2k] = q1, data[2k + 1] = q2.
struct QField2D {
  Count nx = 0;
  Count ny = 0;
  double dx = 1.0;
  std::vector<double> data;

  Count len() const { return nx * ny; }
  double q1(Count k) const { return data[2 * k]; }
  double q2(Count k) const { return data[2 * k + 1]; }

  static QField2D zeros(Count nx, Count ny, double dx);
  static QField2D uniform(Count nx, Count ny, std::array<double, 2> q, double dx);
  // Seeded LCG field with components in [-amplitude, amplitude].
  static QField2D random_perturbation(Count nx, Count ny, double dx, double amplitude,
                                      std::uint64_t seed);

  QField2D laplacian() const;
  QField2D add(const QField2D& other) const;
  QField2D scale(double factor) const;
  std::vector<double> order_param_sq() const;
  double mean_order_param() const;
  double max_norm() const;
  // S and the director angle of every vertex, written to out[0 .. len()).
  void order_param_into(double* out) const;
  void director_angle_into(double* out) const;
  // [[q1, q2, 0], [q2, -q1, 0], [0, 0, 0]] per vertex, row-major.
  std::vector<std::array<double, 9>> to_q3d() const;
};

// One real per vertex (the lipid volume fraction phi).
struct ScalarField2D {
  Count nx = 0;
  Count ny = 0;
  double dx = 1.0;
  std::vector<double> data;

  Count len() const { return nx * ny; }

  static ScalarField2D zeros(Count nx, Count ny, double dx);
  static ScalarField2D uniform(Count nx, Count ny, double dx, double value);

  ScalarField2D laplacian() const;
  double mean_value() const;
  double variance() const;
  double min_value() const;
  double max_value() const;
  double mean_gradient_sq() const;
};

// Flow velocity (ux, uy) per vertex: data[2k] = ux, data[2k + 1] = uy.
struct VelocityField2D {
  Count nx = 0;
  Count ny = 0;
  double dx = 1.0;
  std::vector<double> data;

  Count len() const { return nx * ny; }
  double ux(Count k) const { return data[2 * k]; }
  double uy(Count k) const { return data[2 * k + 1]; }

  static VelocityField2D zeros(Count nx, Count ny, double dx);

  // First-order upwind u.grad(f) of each component, on this field's grid.
  QField2D advect(const QField2D& q) const;
  ScalarField2D advect_scalar(const ScalarField2D& phi) const;
};

// Sizes a record sequence of `per_vertex` doubles for an nx x ny grid, checked. Storage
// that cannot be allocated throws lodestra_core::AllocationError naming the field type
// and the grid ("cannot allocate QField2D of 4 x 4 vertices (32 values)").
std::vector<double> field_storage(const char* type, Count nx, Count ny, Count per_vertex,
                                  double fill = 0.0);
// The same for storage that is not one named field type.
std::vector<double> grid_storage(Count nx, Count ny, Count per_vertex, double fill = 0.0);

}  // namespace lodestra_fields
