#include "tarnel_geo/segments.hpp"

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

// Director of the face with corners c1..c4 (records of five components): the mean
// tensor, each stored component ((c1 + c2) + c3) + c4 times 0.25 and
// q33 = (((-(a1) - a2) - a3) - a4) * 0.25 with a = q11 + q22, and the eigenvector of its
// largest eigenvalue. NaN when the mean tensor is not finite.
Director face_director(const double* c1, const double* c2, const double* c3, const double* c4) {
  double m[5];
  for (int e = 0; e < 5; ++e) m[e] = (((c1[e] + c2[e]) + c3[e]) + c4[e]) * 0.25;
  const double m33 =
      (((-(c1[0] + c1[3]) - (c2[0] + c2[3])) - (c3[0] + c3[3])) - (c4[0] + c4[3])) * 0.25;
  const std::array<double, 9> full{m[0], m[1], m[2], m[1], m[3], m[4], m[2], m[4], m33};
  const tarnel_manifolds::SymEigen3 eig = tarnel_manifolds::sym3_eigen(full);
  return {eig.vectors[6], eig.vectors[7], eig.vectors[8]};
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
bool reverses(const Director& f0, const Director& f1, const Director& f2, const Director& f3) {
  if (!has_director(f0) || !has_director(f1) || !has_director(f2) || !has_director(f3)) {
    return false;
  }
  return link_sign(f0, f1) * link_sign(f1, f2) * link_sign(f2, f3) * link_sign(f3, f0) < 0;
}

// The three faces based at each vertex (i, j, l) of one x slab, each with its corners
// in summation order:
//   x face (normal x): (i,j,l), (i,j,l+), (i,j+,l+), (i,j+,l)
//   y face (normal y): (i,j,l), (i+,j,l), (i+,j,l+), (i,j,l+)
//   z face (normal z): (i,j,l), (i,j+,l), (i+,j+,l), (i+,j,l)
// Every face of a loop is one of these, based at a corner with the smallest indices.
struct Slab {
  std::vector<Director> x, y, z;  // [j * nz + l]
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
      slab.x[k] = face_director(rec(i, j, l), rec(i, j, lp), rec(i, jp, lp), rec(i, jp, l));
      slab.y[k] = face_director(rec(i, j, l), rec(ip, j, l), rec(ip, j, lp), rec(i, j, lp));
      slab.z[k] = face_director(rec(i, j, l), rec(i, jp, l), rec(ip, jp, l), rec(ip, j, l));
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
  const Slab* prev = &first;
  Slab* spare = &a;
  Slab* other = &b;
  const double dx = q.dx;
  for (Count i = i0; i < i1; ++i) {
    const Slab* cur = &first;
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
  // Threads take ranges of slabs, each decomposing the slab before its range once more;
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
