#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <limits>
#include <string>

#include "lodestra_core/format.hpp"
#include "lodestra_core/panic.hpp"
#include "lodestra_core/simd.hpp"
#include "lodestra_core/sizes.hpp"
#include "lodestra_core/threads.hpp"
#include "lodestra_fields/fields3d.hpp"
#include "lodestra_fields/random.hpp"
#include "lodestra_fields/stencils.hpp"
#include "tarnel_manifolds/eigen_sym3.hpp"

namespace lodestra_fields {

std::vector<double> field_storage(const char* type, Count nx, Count ny, Count nz, Count per_vertex,
                                  double fill) {
  // Both products are checked before anything is allocated.
  const Count values = lodestra_core::checked_mul(vertex_count(nx, ny, nz), per_vertex);
  return lodestra_core::allocate_values(values, fill, [&] {
    return std::string(type) + " of " + lodestra_core::fmt_int(nx) + " x " +
           lodestra_core::fmt_int(ny) + " x " + lodestra_core::fmt_int(nz) + " vertices";
  });
}

std::vector<double> grid_storage(Count nx, Count ny, Count nz, Count per_vertex, double fill) {
  return field_storage("grid storage", nx, ny, nz, per_vertex, fill);
}

QField3D QField3D::zeros(Count nx, Count ny, Count nz, double dx) {
  return QField3D{nx, ny, nz, dx, field_storage("QField3D", nx, ny, nz, kWidth)};
}

QField3D QField3D::uniform(Count nx, Count ny, Count nz, std::array<double, 5> q, double dx) {
  QField3D out{nx, ny, nz, dx, field_storage("QField3D", nx, ny, nz, kWidth)};
  double* d = out.data.data();
  for (Count k = 0; k < out.len(); ++k) {
    for (Count c = 0; c < kWidth; ++c) d[kWidth * k + c] = q[c];
  }
  return out;
}

QField3D QField3D::random_perturbation(Count nx, Count ny, Count nz, double dx, double amplitude,
                                       std::uint64_t seed) {
  const Count n = vertex_count(nx, ny, nz);
  // The sampler spans [-amplitude, amplitude) with width 2*amplitude: it needs a
  // positive amplitude (NaN is not) and a finite width. An empty grid draws nothing.
  const double width = amplitude * 2.0;
  if (n > 0 && !(amplitude > 0.0)) lodestra_core::panic("cannot sample empty range");
  if (n > 0 && !std::isfinite(width)) {
    lodestra_core::panic("cannot sample range [-amplitude, amplitude): 2*amplitude overflows (" +
                         lodestra_core::fmt_sci(amplitude, 3) + ")");
  }
  QField3D out{nx, ny, nz, dx, field_storage("QField3D", nx, ny, nz, kWidth)};
  Xoshiro256pp rng = Xoshiro256pp::seeded(seed);
  // Five draws per vertex in flat order (q11, q12, q13, q22, q23). The top 52 bits
  // of each output become the mantissa of a double in [1, 2); minus 1 gives u in
  // [0, 1), and the sample is amplitude*2*u - amplitude.
  for (double& value : out.data) {
    const std::uint64_t bits = (rng.next() >> 12) | 0x3FF0000000000000ULL;
    const double u = std::bit_cast<double>(bits) - 1.0;
    value = width * u - amplitude;
  }
  return out;
}

namespace {

// The 7-point Laplacian of every component. A record's neighbour along l is the record
// kWidth doubles away, so between the two wrapping ends of a column the records form one
// flat run of doubles with fixed offsets, which vectorises; the ends wrap as the grid
// rule says. Every element is the same laplacian7 expression either way.
LODESTRA_SIMD_CLONES
void laplacian_q3(const double* f, double* lap, Count nx, Count ny, Count nz, double dx) {
  constexpr Count W = QField3D::kWidth;
  const double inv_dx2 = 1.0 / (dx * dx);
  for_each_column_3d(
      nx, ny, nz, [&](const Column3& col) __attribute__((always_inline)) {
        const double* f0 = f + W * col.k;
        const double* xp = f + W * col.xp;
        const double* xm = f + W * col.xm;
        const double* yp = f + W * col.yp;
        const double* ym = f + W * col.ym;
        double* out = lap + W * col.k;
        auto wrapped = [&](Count l, Count lp, Count lm) {
          for (Count c = 0; c < W; ++c) {
            const Count e = W * l + c;
            out[e] = laplacian7(f0[e], xp[e], xm[e], yp[e], ym[e], f0[W * lp + c], f0[W * lm + c],
                                inv_dx2);
          }
        };
        wrapped(0, next_index(0, nz), prev_index(0, nz));
        for (Count e = W; e < W * (nz - 1); ++e) {
          out[e] = laplacian7(f0[e], xp[e], xm[e], yp[e], ym[e], f0[e + W], f0[e - W], inv_dx2);
        }
        if (nz > 1) wrapped(nz - 1, 0, nz - 2);
      });
}

// The full symmetric matrix of one record; column-major and row-major agree.
std::array<double, 9> full_matrix(const double* q) {
  const double q33 = -(q[0] + q[3]);
  return {q[0], q[1], q[2], q[1], q[3], q[4], q[2], q[4], q33};
}

// Ascending eigenvalues of one record. A record with a NaN or infinite component
// gives three NaN values, so S and P are NaN there rather than a made-up number.
std::array<double, 3> eigenvalues(const double* q) {
  return tarnel_manifolds::sym3_eigenvalues(full_matrix(q));
}

// S = 1.5 * lambda_max. The values come ascending (or all NaN), so the largest is
// the last.
double scalar_order_of(const std::array<double, 3>& v) { return 1.5 * v[2]; }

// q11^2 + q12^2 + q13^2 + q22^2 + q23^2 + q33^2, summed in that order.
LODESTRA_SIMD_CLONES
double max_squared_norm(const double* q, Count n) {
  double best = 0.0;
  for (Count k = 0; k < n; ++k) {
    const double* r = q + QField3D::kWidth * k;
    const double q33 = r[0] + r[3];
    const double v =
        r[0] * r[0] + r[1] * r[1] + r[2] * r[2] + r[3] * r[3] + r[4] * r[4] + q33 * q33;
    best = v > best ? v : best;  // NaN skipped
  }
  return best;
}

}  // namespace

QField3D QField3D::laplacian() const {
  QField3D out{nx, ny, nz, dx, field_storage("QField3D", nx, ny, nz, kWidth)};
  laplacian_q3(data.data(), out.data.data(), nx, ny, nz, dx);
  return out;
}

// Eigenvalue solves cost about a hundred elementary operations each: a loop of them is
// worth splitting from a few hundred vertices on.
constexpr Count kSolveWork = 100;

std::vector<double> QField3D::scalar_order_s() const {
  std::vector<double> out(len());
  lodestra_core::parallel_for(0, len(), lodestra_core::grain_for(kSolveWork),
                              [&](Count b, Count e) {
                                for (Count k = b; k < e; ++k) {
                                  out[k] = scalar_order_of(eigenvalues(record(k)));
                                }
                              });
  return out;
}

std::vector<double> QField3D::biaxiality_p() const {
  // P = lambda_mid - lambda_min of the ascending eigenvalues.
  std::vector<double> out(len());
  lodestra_core::parallel_for(0, len(), lodestra_core::grain_for(kSolveWork),
                              [&](Count b, Count e) {
                                for (Count k = b; k < e; ++k) {
                                  const std::array<double, 3> v = eigenvalues(record(k));
                                  out[k] = v[1] - v[0];
                                }
                              });
  return out;
}

double QField3D::mean_s() const {
  // S summed in flat order from 0, divided by the vertex count (NaN when empty). With
  // threads the values are solved in parallel and summed here, in the same order.
  double sum = 0.0;
  if (lodestra_core::num_threads() > 1) {
    for (const double s : scalar_order_s()) sum += s;
  } else {
    for (Count k = 0; k < len(); ++k) sum += scalar_order_of(eigenvalues(record(k)));
  }
  return sum / static_cast<double>(len());
}

double QField3D::max_norm() const {
  // sqrt is monotonic and correctly rounded: the largest norm is the root of the
  // largest squared norm.
  return std::sqrt(max_squared_norm(data.data(), len()));
}

namespace {

// S, P and the director of one record (see vtk_point_arrays).
void order_and_director(const double* rec, double* s, double* big_p, double* n) {
  const double a = rec[0], d = rec[1], e = rec[2], b = rec[3], f = rec[4];
  const double c = -(a + b);
  const double p = std::sqrt(((a * a + b * b) + c * c + 2.0 * ((d * d + e * e) + f * f)) / 6.0);
  const double det = a * (b * c - f * f) - d * (d * c - f * e) + e * (d * f - b * e);
  double r = det / (2.0 * p * p * p);
  if (std::isnan(r)) r = 1.0;
  r = r < -1.0 ? -1.0 : (r > 1.0 ? 1.0 : r);
  const double phi = std::acos(r) / 3.0;
  const double lam = 2.0 * p * std::cos(phi);
  *s = 1.5 * lam;
  double pp = (2.0 * 1.7320508075688772) * p * std::sin(phi);
  if (pp < 1e-3 * p) {
    const std::array<double, 3> v = eigenvalues(rec);
    pp = v[1] - v[0];
  }
  *big_p = pp;
  const double am = a - lam, bm = b - lam, cm = c - lam;
  // Rows of Q - lambda I: (am, d, e), (d, bm, f), (e, f, cm); their three cross products.
  const double cross[3][3] = {{d * f - e * bm, e * d - am * f, am * bm - d * d},
                              {d * cm - e * f, e * e - am * cm, am * f - d * e},
                              {bm * cm - f * f, f * e - d * cm, d * f - bm * e}};
  int pick = 0;
  double best = -1.0;
  for (int k = 0; k < 3; ++k) {
    const double len2 =
        cross[k][0] * cross[k][0] + cross[k][1] * cross[k][1] + cross[k][2] * cross[k][2];
    if (std::isnan(len2)) {
      best = len2;
      pick = k;
      break;
    }
    if (len2 > best) {
      best = len2;
      pick = k;
    }
  }
  const double norm = std::sqrt(best);
  if (norm > 1e-12 * p * p) {
    const double inv = 1.0 / norm;
    for (int t = 0; t < 3; ++t) n[t] = cross[pick][t] * inv;
  } else {
    n[0] = n[1] = n[2] = 0.0;
  }
}

}  // namespace

void vtk_point_arrays(const QField3D& q, double* q_points, double* s, double* p, double* director) {
  const Count nx = q.nx, ny = q.ny, nz = q.nz;
  constexpr Count kTile = 8;  // x positions per tile: its writes are runs of 8 points
  // Each j plane writes its own points: threads share the planes.
  lodestra_core::parallel_for(0, ny, lodestra_core::grain_for(100 * nx * nz),
                              [&](Count j0, Count j1) {
                                for (Count j = j0; j < j1; ++j) {
                                  for (Count i0 = 0; i0 < nx; i0 += kTile) {
                                    const Count i1 = std::min(nx, i0 + kTile);
                                    for (Count l = 0; l < nz; ++l) {
                                      for (Count i = i0; i < i1; ++i) {
                                        const double* rec = q.record((i * ny + j) * nz + l);
                                        const Count m = (l * ny + j) * nx + i;
                                        for (Count c = 0; c < 5; ++c) q_points[5 * m + c] = rec[c];
                                        order_and_director(rec, s + m, p + m, director + 3 * m);
                                      }
                                    }
                                  }
                                }
                              });
}

}  // namespace lodestra_fields
