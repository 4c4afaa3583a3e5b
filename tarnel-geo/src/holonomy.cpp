#include "tarnel_geo/holonomy.hpp"

// The 4-lane helpers below return 32-byte vectors; GCC warns that their ABI differs
// with and without AVX. They never leave this file, so no ABI is involved.
#pragma GCC diagnostic ignored "-Wpsabi"

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>

#include "lodestra_core/panic.hpp"
#include "lodestra_core/simd.hpp"
#include "lodestra_core/sizes.hpp"
#include "tarnel_manifolds/frame_field.hpp"

namespace tarnel_geo {

namespace {

// Link matrix of the step F -> G (G already gauge-fixed against F):
// T(a, b) = axis a of F . axis b of G, products summed in row order.
Mat3 link_matrix(const Mat3& f, const Mat3& g) {
  Mat3 t;
  for (std::size_t b = 0; b < 3; ++b) {
    for (std::size_t a = 0; a < 3; ++a) {
      t(a, b) = f(0, a) * g(0, b) + f(1, a) * g(1, b) + f(2, a) * g(2, b);
    }
  }
  return t;
}

// (A T)(r, c) = A(r,0) T(0,c) + A(r,1) T(1,c) + A(r,2) T(2,c), summed in that order.
Mat3 product(const Mat3& a, const Mat3& t) {
  Mat3 out;
  for (std::size_t c = 0; c < 3; ++c) {
    for (std::size_t r = 0; r < 3; ++r) {
      out(r, c) = a(r, 0) * t(0, c) + a(r, 1) * t(1, c) + a(r, 2) * t(2, c);
    }
  }
  return out;
}

// The loop product for n >= 2 frames given by frame(k); the scan passes its four
// corners by reference, so no frame is copied and nothing is allocated.
template <class FrameAt>
Mat3 accumulate_loop(std::size_t n, FrameAt&& frame) {
  Mat3 acc = Mat3::identity();
  for (std::size_t k = 0; k < n; ++k) {
    const Mat3& from = frame(k);
    const Mat3 to =
        tarnel_manifolds::frame_field::d2_gauge_fix(from, frame(k + 1 == n ? 0 : k + 1));
    acc = product(acc, link_matrix(from, to));
  }
  return acc;
}

// The plaquette scan, a row of plaquettes at a time, kLanes plaquettes side by side.
// Each lane evaluates exactly the scalar operations of loop_holonomy above (same
// operands, same order, no reassociation, no fused multiply-add), and the pattern
// choice of d2_gauge_fix becomes a per-lane select with the same strict comparisons,
// so every holonomy is bit-identical to loop_holonomy of the plaquette's four frames.
// The rows are held component-major (entry e of vertex j at [e * stride + j]) so that
// the four corners of kLanes consecutive plaquettes are contiguous loads. The row
// kernel is built once per instruction set (simd.hpp); every clone evaluates the same
// IEEE operations, so the results do not depend on the machine.

constexpr std::size_t kLanes = 4;
using Lanes = double __attribute__((vector_size(kLanes * sizeof(double))));
using Mask = std::int64_t __attribute__((vector_size(kLanes * sizeof(double))));

Lanes splat(double x) { return Lanes{x, x, x, x}; }

Lanes load(const double* p) {
  Lanes v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// acc = acc * F^T G', G' = G with its columns signed by the D2 pattern that best aligns
// it with F. Matrices column-major, element (r, c) at [3c + r].
inline void accumulate_link(const Lanes (&f)[9], const Lanes (&g)[9], Lanes (&acc)[9]) {
  Lanes d[3];
  for (int c = 0; c < 3; ++c) {
    d[c] = f[3 * c] * g[3 * c] + f[3 * c + 1] * g[3 * c + 1] + f[3 * c + 2] * g[3 * c + 2];
  }
  Lanes u = d[0] + d[1] + d[2];
  u = u != u ? splat(-std::numeric_limits<double>::infinity()) : u;
  const Lanes t = -d[0] - d[1] + d[2];
  const Lanes v = -d[0] + d[1] - d[2];
  const Lanes w = d[0] - d[1] - d[2];
  const Lanes plus = splat(1.0), minus = splat(-1.0);
  // (+,+,+), then (-,-,+), (-,+,-), (+,-,-), each only on a strict gain.
  const Mask pick_t = t > u;
  const Lanes best = pick_t ? t : u;
  Lanes s0 = pick_t ? minus : plus, s1 = s0, s2 = plus;
  const Mask pick_v = v > best;
  const Lanes best_v = pick_v ? v : best;
  s0 = pick_v ? minus : s0;
  s1 = pick_v ? plus : s1;
  s2 = pick_v ? minus : s2;
  const Mask pick_w = w > best_v;
  s0 = pick_w ? plus : s0;
  s1 = pick_w ? minus : s1;
  s2 = pick_w ? minus : s2;
  const Lanes s[3] = {s0, s1, s2};
  Lanes gs[9];
  for (int c = 0; c < 3; ++c) {
    for (int r = 0; r < 3; ++r) gs[3 * c + r] = g[3 * c + r] * s[c];
  }
  Lanes link[9];
  for (int b = 0; b < 3; ++b) {
    for (int a = 0; a < 3; ++a) {
      link[3 * b + a] =
          f[3 * a] * gs[3 * b] + f[3 * a + 1] * gs[3 * b + 1] + f[3 * a + 2] * gs[3 * b + 2];
    }
  }
  Lanes out[9];
  for (int c = 0; c < 3; ++c) {
    for (int r = 0; r < 3; ++r) {
      out[3 * c + r] =
          acc[r] * link[3 * c] + acc[3 + r] * link[3 * c + 1] + acc[6 + r] * link[3 * c + 2];
    }
  }
  for (int e = 0; e < 9; ++e) acc[e] = out[e];
}

// Rows i (lower) and i+1 (upper) of the grid, component-major with `stride` entries per
// component (stride >= padded + 1, padded a multiple of kLanes). Writes holonomy entry
// e of plaquette j to h[e * padded + j] and x = ((H00 + H11) + H22 - 1) * 0.5, clamped
// to [-1, 1], to cos_angle[j], for j < padded (lanes past the row hold scratch values).
LODESTRA_SIMD_CLONES void plaquette_row(const double* lower, const double* upper,
                                        std::size_t stride, std::size_t padded, double* h,
                                        double* cos_angle) {
  for (std::size_t j = 0; j < padded; j += kLanes) {
    // Corners in loop order: (i, j), (i+1, j), (i+1, j+1), (i, j+1).
    Lanes c0[9], c1[9], c2[9], c3[9];
    for (std::size_t e = 0; e < 9; ++e) {
      c0[e] = load(lower + e * stride + j);
      c1[e] = load(upper + e * stride + j);
      c2[e] = load(upper + e * stride + j + 1);
      c3[e] = load(lower + e * stride + j + 1);
    }
    Lanes acc[9];
    for (std::size_t e = 0; e < 9; ++e) acc[e] = splat(Mat3::identity().data[e]);
    accumulate_link(c0, c1, acc);
    accumulate_link(c1, c2, acc);
    accumulate_link(c2, c3, acc);
    accumulate_link(c3, c0, acc);
    for (std::size_t e = 0; e < 9; ++e) std::memcpy(h + e * padded + j, &acc[e], sizeof(Lanes));
    Lanes x = ((acc[0] + acc[4]) + acc[8] - 1.0) * 0.5;
    x = x < -1.0 ? splat(-1.0) : x;
    x = x > 1.0 ? splat(1.0) : x;
    std::memcpy(cos_angle + j, &x, sizeof x);
  }
}

// Copies ny frames into component-major storage with the given stride.
void transpose_row(const Mat3* frames, std::size_t ny, std::size_t stride, double* out) {
  for (std::size_t j = 0; j < ny; ++j) {
    for (std::size_t e = 0; e < 9; ++e) out[e * stride + j] = frames[j].data[e];
  }
}

}  // namespace

double rotation_angle(const Mat3& h) {
  double x = ((h(0, 0) + h(1, 1)) + h(2, 2) - 1.0) * 0.5;
  if (x < -1.0) x = -1.0;
  if (x > 1.0) x = 1.0;
  return std::acos(x);
}

Mat3 loop_holonomy(std::span<const Mat3> frames) {
  if (frames.size() < 2) lodestra_core::panic("loop_holonomy requires at least 2 frames");
  return accumulate_loop(frames.size(), [&](std::size_t k) -> const Mat3& { return frames[k]; });
}

bool is_half_disclination(const Mat3& h, double threshold) { return rotation_angle(h) > threshold; }

std::vector<PlaquetteHolonomy> scan_disclinations(std::span<const Mat3> frames, std::uint64_t nx,
                                                  std::uint64_t ny, double threshold) {
  // An nx * ny that overflows cannot equal any length, so it fails the same way.
  std::uint64_t count = 0;
  if (__builtin_mul_overflow(nx, ny, &count) || frames.size() != count) {
    lodestra_core::panic("frames.len() must equal nx * ny");
  }
  std::vector<PlaquetteHolonomy> hits;
  scan_disclination_rows(
      nx, ny, threshold,
      [&](std::uint64_t i, std::span<Mat3>) -> std::span<const Mat3> {
        return frames.subspan(i * ny, ny);
      },
      [&](const PlaquetteHolonomy& hit) { hits.push_back(hit); });
  return hits;
}

void scan_disclination_rows(std::uint64_t nx, std::uint64_t ny, double threshold,
                            const FrameRowSource& row_frames, const PlaquetteVisitor& on_hit) {
  if (nx < 2 || ny < 2) return;
  scan_disclination_row_range(0, nx - 1, ny, threshold, row_frames, on_hit);
}

void scan_disclination_row_range(std::uint64_t r0, std::uint64_t r1, std::uint64_t ny,
                                 double threshold, const FrameRowSource& row_frames,
                                 const PlaquetteVisitor& on_hit) {
  if (r1 <= r0 || ny < 2) return;

  // Two grid rows, component-major, each padded to `stride` entries per component; lanes
  // past the end of a row read copies of the row's first frames and their results are
  // dropped.
  const std::size_t np = ny - 1;
  const std::size_t padded = (np + kLanes - 1) / kLanes * kLanes;
  const std::size_t stride = padded + 1;
  const std::size_t row_doubles = lodestra_core::checked_mul(9, stride);
  std::vector<Mat3> scratch(ny);
  std::vector<double> lower(row_doubles), upper(row_doubles), row_h(9 * padded), row_x(padded);
  auto load_row = [&](std::uint64_t i, std::vector<double>& out) {
    const std::span<const Mat3> row = row_frames(i, scratch);
    if (row.size() != ny) lodestra_core::panic("a frame row must hold ny frames");
    transpose_row(row.data(), ny, stride, out.data());
    for (std::size_t j = ny; j < stride; ++j) {
      for (std::size_t e = 0; e < 9; ++e) out[e * stride + j] = out[e * stride + j % ny];
    }
  };
  // The acos of a plaquette is needed only where its angle can exceed the threshold.
  // For 0 <= threshold < pi that needs x <= cos(threshold): any x above
  // cos(threshold) + 1e-9 has an angle below threshold by more than 1e-9 (|d acos/dx| >= 1),
  // far beyond the rounding of cos and acos. A threshold >= pi is never exceeded; a
  // negative (or NaN) threshold gets every acos.
  constexpr double kPi = 3.141592653589793;
  const double x_limit = threshold >= kPi   ? -2.0
                         : threshold >= 0.0 ? std::cos(threshold) + 1e-9
                                            : std::numeric_limits<double>::infinity();
  load_row(r0, upper);
  for (std::uint64_t i = r0; i < r1; ++i) {
    lower.swap(upper);
    load_row(i + 1, upper);
    plaquette_row(lower.data(), upper.data(), stride, padded, row_h.data(), row_x.data());
    for (std::size_t j = 0; j < np; ++j) {
      if (row_x[j] > x_limit) continue;
      const double angle = std::acos(row_x[j]);
      if (angle > threshold) {
        PlaquetteHolonomy hit{{i, j}, Mat3{}, angle};
        for (std::size_t e = 0; e < 9; ++e) hit.holonomy.data[e] = row_h[e * padded + j];
        on_hit(hit);
      }
    }
  }
}

}  // namespace tarnel_geo
