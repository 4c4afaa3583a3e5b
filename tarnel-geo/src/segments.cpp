#include "tarnel_geo/segments.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <utility>
#include <vector>

#include "lodestra_core/panic.hpp"
#include "lodestra_core/threads.hpp"
#include "lodestra_fields/grid.hpp"
#include "tarnel_manifolds/eigen_sym3.hpp"

namespace tarnel_geo {

std::string_view charge_name(DisclinationCharge charge) {
  switch (charge) {
    case DisclinationCharge::half_plus:
      return "half_plus";
    case DisclinationCharge::half_minus:
      return "half_minus";
    case DisclinationCharge::anti:
      return "anti";
  }
  return "anti";
}

namespace disclination::segments {

namespace {

using lodestra_fields::Count;
using lodestra_fields::next_index;
using lodestra_fields::prev_index;
using Director = std::array<double, 3>;

// One face: its mean tensor from the corners c1..c4 (records of five components), each
// stored component ((c1 + c2) + c3) + c4 times 0.25 and
// q33 = (((-(a1) - a2) - a3) - a4) * 0.25 with a = q11 + q22; a lower bound of the gap
// between its two largest eigenvalues; and, once asked for, its director: the eigenvector
// of the largest eigenvalue (NaN when the mean tensor is not finite).
struct Face {
  double m[6];  // m11, m12, m13, m22, m23, m33
  double gap;   // lambda_1 - lambda_2 >= gap (0 or NaN when nothing is known)
  double size;  // |q| + p of the cubic below, the scale of the tensor's rounding
  Director director;
  bool known;
};

// For B = M - q I (q = tr M / 3), p = sqrt(tr(B^2) / 6) and r = det(B) / (2 p^3), the
// eigenvalues are q + 2p cos(phi + 2 pi k / 3) with phi = acos(r) / 3, so
// lambda_1 - lambda_2 = 2 sqrt(3) p sin(psi), psi = pi/3 - phi, and 1 + r = 2 sin^2(3 psi / 2).
// On [0, pi/3] sin(psi) >= (3 sqrt(3) / (2 pi)) psi and psi >= (2/3) sin(3 psi / 2), so
// lambda_1 - lambda_2 >= 1.909 p sqrt((1 + r) / 2); 1.8 and the 1e-7 taken off the root
// leave room for the rounding of r.
void set_gap(Face& f) {
  const double* m = f.m;
  const double q = ((m[0] + m[3]) + m[5]) / 3.0;
  const double b11 = m[0] - q, b22 = m[3] - q, b33 = m[5] - q;
  const double off = (m[1] * m[1] + m[2] * m[2]) + m[4] * m[4];
  const double p = std::sqrt((((b11 * b11 + b22 * b22) + b33 * b33) + 2.0 * off) / 6.0);
  const double det = b11 * (b22 * b33 - m[4] * m[4]) - m[1] * (m[1] * b33 - m[4] * m[2]) +
                     m[2] * (m[1] * m[4] - b22 * m[2]);
  const double r = det / (2.0 * p * p * p);
  const double half = (1.0 + (r > 1.0 ? 1.0 : r)) * 0.5;
  const double root = std::sqrt(half > 0.0 ? half : 0.0) - 1e-7;
  f.gap = p > 0.0 && root > 0.0 ? 1.8 * p * root : 0.0;
  f.size = std::fabs(q) + p;
}

void set_face(Face& f, const double* c1, const double* c2, const double* c3, const double* c4) {
  for (int e = 0; e < 5; ++e) f.m[e] = (((c1[e] + c2[e]) + c3[e]) + c4[e]) * 0.25;
  f.m[5] = (((-(c1[0] + c1[3]) - (c2[0] + c2[3])) - (c3[0] + c3[3])) - (c4[0] + c4[3])) * 0.25;
  set_gap(f);
  f.known = false;
}

const Director& director_of(Face& f) {
  if (!f.known) {
    const double* m = f.m;
    const std::array<double, 9> full{m[0], m[1], m[2], m[1], m[3], m[4], m[2], m[4], m[5]};
    const tarnel_manifolds::SymEigen3 eig = tarnel_manifolds::sym3_eigen(full);
    f.director = {eig.vectors[6], eig.vectors[7], eig.vectors[8]};
    f.known = true;
  }
  return f.director;
}

// ||a - b|| in the Frobenius norm of the full symmetric matrices.
double distance(const Face& a, const Face& b) {
  double d[6];
  for (int e = 0; e < 6; ++e) d[e] = a.m[e] - b.m[e];
  return std::sqrt(((d[0] * d[0] + d[3] * d[3]) + d[5] * d[5]) +
                   2.0 * ((d[1] * d[1] + d[2] * d[2]) + d[4] * d[4]));
}

// True when no director can turn round the loop f0 -> f1 -> f2 -> f3: by the Davis-Kahan
// theorem (the variant without conditions, sin(theta) <= 2 ||E|| / gap), the top eigenvector
// of each face lies within 30 degrees of f0's when 2 (||Mk - M0|| + d) <= gap(M0) / 2, d
// covering the eigen-solver's backward error (the computed vector is an exact eigenvector of
// a tensor within a few eps |M| of the face's). Then every pair of directors is within 60
// degrees of parallel or antiparallel, each link's sign is that of its dot product
// (|dot| >= 1/2), and the four signs multiply to +1: the loop does not reverse, exactly as
// the directors would say. A NaN anywhere fails the test.
bool certainly_calm(const Face& f0, const Face& f1, const Face& f2, const Face& f3) {
  const double e = std::max(std::max(distance(f1, f0), distance(f2, f0)), distance(f3, f0));
  return 4.0 * (e + 1e-11 * f0.size) < f0.gap;
}

// +1 when the first component that is not zero (-0.0 counts as zero) is positive, -1
// otherwise (the zero vector included).
int first_sign(const Director& v) {
  for (double x : v) {
    if (x != 0.0) return x > 0.0 ? 1 : -1;
  }
  return -1;
}

// Sign of the link a -> b: sign((a0 b0 + a1 b1) + a2 b2), or for a near-perpendicular
// pair the product of first_sign, which depends on a and b alone.
int link_sign(const Director& a, const Director& b) {
  const double d = (a[0] * b[0] + a[1] * b[1]) + a[2] * b[2];
  if (std::fabs(d) > 1e-12) return d > 0.0 ? 1 : -1;
  return first_sign(a) * first_sign(b);
}

bool has_director(const Director& v) { return !std::isnan(v[0]); }

// True when the director carried around f0 -> f1 -> f2 -> f3 -> f0 comes back reversed.
// Loops that certainly_calm clears never need their faces' directors.
bool reverses(Face& f0, Face& f1, Face& f2, Face& f3) {
  if (certainly_calm(f0, f1, f2, f3)) return false;
  const Director& d0 = director_of(f0);
  const Director& d1 = director_of(f1);
  const Director& d2 = director_of(f2);
  const Director& d3 = director_of(f3);
  if (!has_director(d0) || !has_director(d1) || !has_director(d2) || !has_director(d3)) {
    return false;
  }
  return link_sign(d0, d1) * link_sign(d1, d2) * link_sign(d2, d3) * link_sign(d3, d0) < 0;
}

// The three faces based at each vertex (i, j, l) of one x slab, each with its corners
// in summation order:
//   x face (normal x): (i,j,l), (i,j,l+), (i,j+,l+), (i,j+,l)
//   y face (normal y): (i,j,l), (i+,j,l), (i+,j,l+), (i,j,l+)
//   z face (normal z): (i,j,l), (i,j+,l), (i+,j+,l), (i+,j,l)
// Every face of a loop is one of these, based at a corner with the smallest indices.
struct Slab {
  std::vector<Face> x, y, z;  // [j * nz + l]
};

void fill_slab(const lodestra_fields::QField3D& q, Count i, Slab& slab) {
  const Count ny = q.ny, nz = q.nz;
  const Count ip = next_index(i, q.nx);
  auto rec = [&](Count a, Count b, Count c) {
    return q.data.data() + 5 * lodestra_fields::flat_index(a, b, c, ny, nz);
  };
  for (Count j = 0; j < ny; ++j) {
    const Count jp = next_index(j, ny);
    for (Count l = 0; l < nz; ++l) {
      const Count lp = next_index(l, nz);
      const Count k = j * nz + l;
      set_face(slab.x[k], rec(i, j, l), rec(i, j, lp), rec(i, jp, lp), rec(i, jp, l));
      set_face(slab.y[k], rec(i, j, l), rec(ip, j, l), rec(ip, j, lp), rec(i, j, lp));
      set_face(slab.z[k], rec(i, j, l), rec(i, jp, l), rec(ip, jp, l), rec(ip, j, l));
    }
  }
}

}  // namespace

namespace {

// The segments of slabs i0 <= i < i1, appended to out[i] per slab in the scan's order.
// The slab before i0 is decomposed first; when the range wraps round to it (it starts at
// slab 0, so the slab before is the last one) it is kept and used again there. Each face
// of the range is decomposed once.
void scan_slabs(const lodestra_fields::QField3D& q, Count i0, Count i1,
                std::vector<std::vector<DisclinationSegment>>& out) {
  const Count nx = q.nx, ny = q.ny, nz = q.nz;
  const std::size_t per_slab = lodestra_fields::vertex_count(ny, nz);
  Slab first, a, b;
  for (Slab* s : {&first, &a, &b}) {
    s->x.resize(per_slab);
    s->y.resize(per_slab);
    s->z.resize(per_slab);
  }
  const Count before = prev_index(i0, nx);
  fill_slab(q, before, first);
  Slab* prev = &first;
  Slab* spare = &a;
  Slab* other = &b;
  const double dx = q.dx;
  for (Count i = i0; i < i1; ++i) {
    Slab* cur = &first;
    if (i != before) {
      fill_slab(q, i, *spare);
      cur = spare;
    }
    std::vector<DisclinationSegment>& segments = out[i];
    const Count ip = next_index(i, nx);
    for (Count j = 0; j < ny; ++j) {
      const Count jp = next_index(j, ny), jm = prev_index(j, ny);
      for (Count l = 0; l < nz; ++l) {
        const Count lp = next_index(l, nz), lm = prev_index(l, nz);
        const Count from = lodestra_fields::flat_index(i, j, l, ny, nz);
        const auto at = [nz](Count jj, Count ll) { return jj * nz + ll; };
        // x loop: faces based at (j, l), (j, l-), (j-, l-), (j-, l) of slab i.
        if (reverses(cur->x[at(j, l)], cur->x[at(j, lm)], cur->x[at(jm, lm)], cur->x[at(jm, l)])) {
          segments.push_back({from,
                              lodestra_fields::flat_index(ip, j, l, ny, nz),
                              {dx * (static_cast<double>(i) + 0.5), dx * static_cast<double>(j),
                               dx * static_cast<double>(l)},
                              DisclinationCharge::half_plus});
        }
        // y loop: faces based at (i, l), (i-, l), (i-, l-), (i, l-) in row j.
        if (reverses(cur->y[at(j, l)], prev->y[at(j, l)], prev->y[at(j, lm)], cur->y[at(j, lm)])) {
          segments.push_back({from,
                              lodestra_fields::flat_index(i, jp, l, ny, nz),
                              {dx * static_cast<double>(i), dx * (static_cast<double>(j) + 0.5),
                               dx * static_cast<double>(l)},
                              DisclinationCharge::half_plus});
        }
        // z loop: faces based at (i, j), (i, j-), (i-, j-), (i-, j) in layer l.
        if (reverses(cur->z[at(j, l)], cur->z[at(jm, l)], prev->z[at(jm, l)], prev->z[at(j, l)])) {
          segments.push_back({from,
                              lodestra_fields::flat_index(i, j, lp, ny, nz),
                              {dx * static_cast<double>(i), dx * static_cast<double>(j),
                               dx * (static_cast<double>(l) + 0.5)},
                              DisclinationCharge::half_plus});
        }
      }
    }
    if (cur != &first) {
      prev = cur;
      std::swap(spare, other);
    }
  }
}

}  // namespace

std::vector<DisclinationSegment> scan_disclination_lines_3d(const lodestra_fields::QField3D& q) {
  std::vector<DisclinationSegment> out;
  const Count nx = q.nx, ny = q.ny, nz = q.nz;
  if (nx == 0 || ny == 0 || nz == 0) return out;
  lodestra_core::assert_eq(q.data.size(), 5 * lodestra_fields::vertex_count(nx, ny, nz));
  // Threads take ranges of slabs, each making the faces of the slab before its range once more;
  // the slabs' segments are joined in slab order, so the records and their order do not
  // depend on the thread count.
  std::vector<std::vector<DisclinationSegment>> per_slab(nx);
  lodestra_core::parallel_for(0, nx, lodestra_core::grain_for(3 * 100 * ny * nz),
                              [&](Count i0, Count i1) { scan_slabs(q, i0, i1, per_slab); });
  std::size_t total = 0;
  for (const auto& segments : per_slab) total += segments.size();
  out.reserve(total);
  for (const auto& segments : per_slab) out.insert(out.end(), segments.begin(), segments.end());
  return out;
}

}  // namespace disclination::segments
}  // namespace tarnel_geo
