#pragma once
// The 3D grid fields. Plain values that own their data; every operation leaves
// its inputs alone and returns a new field. Storage follows grid.hpp: one flat
// sequence of per-vertex records, vertex (i, j, l) at (i*ny + j)*nz + l.

#include <array>
#include <cstdint>
#include <vector>

#include "lodestra_fields/grid.hpp"

namespace lodestra_fields {

// Traceless symmetric order tensor per vertex, stored as the five records
// (q11, q12, q13, q22, q23): data[5k + c]. q33 = -(q11 + q22) is never stored; the
// full matrix is [[q11, q12, q13], [q12, q22, q23], [q13, q23, -(q11 + q22)]].
struct QField3D {
  static constexpr Count kWidth = 5;

  Count nx = 0;
  Count ny = 0;
  Count nz = 0;
  double dx = 1.0;
  std::vector<double> data;

  Count len() const { return nx * ny * nz; }
  const double* record(Count k) const { return data.data() + kWidth * k; }

  static QField3D zeros(Count nx, Count ny, Count nz, double dx);
  static QField3D uniform(Count nx, Count ny, Count nz, std::array<double, 5> q, double dx);
  // Seeded xoshiro256++ field with components in [-amplitude, amplitude).
  static QField3D random_perturbation(Count nx, Count ny, Count nz, double dx, double amplitude,
                                      std::uint64_t seed);

  QField3D laplacian() const;
  std::vector<double> scalar_order_s() const;
  std::vector<double> biaxiality_p() const;
  double mean_s() const;
  double max_norm() const;
};

// The point arrays of a VTK image of q, in VTK's point order (x fastest: vertex (i, j, l)
// is point (l*ny + j)*nx + i), in one pass: the five components (q_points, 5 per point),
// S = 1.5 lambda_max, P = lambda_mid - lambda_min and the director (3 per point). The
// eigenvalues solve the characteristic cubic in closed form: p = sqrt(tr(Q^2)/6),
// r = det(Q)/(2p^3) clamped to [-1, 1] (NaN taken as 1), phi = acos(r)/3, lambda_max =
// 2p cos(phi), P = 2 sqrt(3) p sin(phi); where P < 1e-3 p (near uniaxial order, where the
// rounding of r dominates P) P comes from the eigen-solver instead. The director spans the
// null space of Q - lambda_max I: the longest of the three cross products of its rows
// (the first on a tie), normalised; the zero vector where that product is only rounding
// (length <= 1e-12 p^2, as for Q = 0 or oblate order) or not finite. Each output array
// holds 5, 1, 1 and 3 doubles per vertex.
void vtk_point_arrays(const QField3D& q, double* q_points, double* s, double* p, double* director);

// One real per vertex (the lipid volume fraction phi).
struct ScalarField3D {
  Count nx = 0;
  Count ny = 0;
  Count nz = 0;
  double dx = 1.0;
  std::vector<double> data;

  Count len() const { return nx * ny * nz; }

  static ScalarField3D zeros(Count nx, Count ny, Count nz, double dx);
  static ScalarField3D uniform(Count nx, Count ny, Count nz, double dx, double value);

  double mean() const;
  double max() const;
};

// One real per vertex: the pressure of a Stokes solve.
struct PressureField3D {
  Count nx = 0;
  Count ny = 0;
  Count nz = 0;
  double dx = 1.0;
  std::vector<double> data;

  Count len() const { return nx * ny * nz; }

  static PressureField3D zeros(Count nx, Count ny, Count nz, double dx);
};

// Strain rate D = (G + G^T)/2 and vorticity W = (G - G^T)/2 of the velocity gradient
// G[a][b] = d_a u_b at one vertex, each 3x3 and row-major (element [a][b] at 3a + b).
struct VelocityGradient {
  std::array<double, 9> d;
  std::array<double, 9> w;
};

// D = (G + G^T)/2 and W = (G - G^T)/2 of a velocity gradient G[a][b] = d_a u_b, the
// diagonals included as written.
inline VelocityGradient strain_and_vorticity(const double (&g)[3][3]) {
  VelocityGradient out;
  for (int a = 0; a < 3; ++a) {
    for (int b = 0; b < 3; ++b) {
      out.d[3 * a + b] = 0.5 * (g[a][b] + g[b][a]);
      out.w[3 * a + b] = 0.5 * (g[a][b] - g[b][a]);
    }
  }
  return out;
}

// One entry of the gradient by central differences, h = 1/(2 dx):
//   G[a][b] = h (u_b(+e_a) - u_b(-e_a)).
inline double gradient_entry(double forward, double backward, double h) {
  return h * (forward - backward);
}

// The gradient at one vertex from the velocity records (ux, uy, uz) of its six
// neighbours.
inline VelocityGradient velocity_gradient(const double* xp, const double* xm, const double* yp,
                                          const double* ym, const double* zp, const double* zm,
                                          double h) {
  const double* fwd[3] = {xp, yp, zp};
  const double* bwd[3] = {xm, ym, zm};
  double g[3][3];
  for (int a = 0; a < 3; ++a) {
    for (int b = 0; b < 3; ++b) g[a][b] = gradient_entry(fwd[a][b], bwd[a][b], h);
  }
  return strain_and_vorticity(g);
}

// Flow velocity (ux, uy, uz) per vertex: data[3k + c].
struct VelocityField3D {
  static constexpr Count kWidth = 3;

  Count nx = 0;
  Count ny = 0;
  Count nz = 0;
  double dx = 1.0;
  std::vector<double> data;

  Count len() const { return nx * ny * nz; }

  static VelocityField3D zeros(Count nx, Count ny, Count nz, double dx);
  static VelocityField3D uniform(Count nx, Count ny, Count nz, std::array<double, 3> u, double dx);

  // Periodic central differences at flat vertex k (0 <= k < len()).
  VelocityGradient velocity_gradient_at(Count k) const;
};

// Sizes a record sequence of `per_vertex` doubles for an nx x ny x nz grid, checked, as
// the 2D field_storage ("cannot allocate QField3D of 4 x 4 x 4 vertices (320 values)").
std::vector<double> field_storage(const char* type, Count nx, Count ny, Count nz, Count per_vertex,
                                  double fill = 0.0);
// The same for storage that is not one named field type.
std::vector<double> grid_storage(Count nx, Count ny, Count nz, Count per_vertex, double fill = 0.0);

}  // namespace lodestra_fields
