#pragma once
// Holonomy of nematic frames carried around closed loops, and the plaquette scan of a
// 2D grid of frames. These work on frames alone (tarnel_manifolds::Mat3, column c = axis
// c) and know nothing of Q fields, so the 2D and 3D scans share them.

#include <cstdint>
#include <functional>
#include <span>
#include <utility>
#include <vector>

#include "tarnel_manifolds/qtensor.hpp"

namespace tarnel_geo {

using tarnel_manifolds::Mat3;

// Rotation beyond which a loop is taken to enclose a half-integer disclination: pi/2.
inline constexpr double kHalfDisclinationThreshold = 1.5707963267948966;

// Rotation angle of a rotation matrix H, in [0, pi]:
//   x = ((H00 + H11) + H22 - 1) * 0.5, clamped to [-1, 1] (NaN stays NaN); angle = acos(x).
double rotation_angle(const Mat3& h);

// Holonomy of the closed loop F_0 -> F_1 -> ... -> F_{n-1} -> F_0:
//   H = T_0 T_1 ... T_{n-1},  T_k = F_k^T G_k,  G_k = d2_gauge_fix(F_k, F_{k+1 mod n}),
// accumulated from the identity as A = A * T_k. Each link is referred to the raw frame
// F_k, so the sign ambiguity of every frame cancels link by link. Panics with
// "loop_holonomy requires at least 2 frames" for n < 2.
Mat3 loop_holonomy(std::span<const Mat3> frames);

// True when the rotation angle of H is strictly greater than threshold (false for NaN).
bool is_half_disclination(const Mat3& h, double threshold = kHalfDisclinationThreshold);

struct PlaquetteHolonomy {
  std::pair<std::uint64_t, std::uint64_t> plaquette;  // corner (i, j) with the smallest indices
  Mat3 holonomy;
  double angle;  // rotation angle of holonomy, radians
};

// Scans the plaquettes of an nx x ny grid of frames (vertex (i, j) at frames[i*ny + j]).
// Plaquette (i, j), 0 <= i <= nx-2, 0 <= j <= ny-2, is the loop (i,j) -> (i+1,j) ->
// (i+1,j+1) -> (i,j+1); it is reported when its holonomy angle exceeds threshold
// (strictly; NaN never). The plaquettes do not wrap across the periodic seam. Result in
// i-major, j-minor order. Panics with "frames.len() must equal nx * ny" on a length
// mismatch; a grid with nx < 2 or ny < 2 has no plaquette.
std::vector<PlaquetteHolonomy> scan_disclinations(std::span<const Mat3> frames, std::uint64_t nx,
                                                  std::uint64_t ny,
                                                  double threshold = kHalfDisclinationThreshold);

// Supplies the ny frames of grid row i, vertices (i, 0) .. (i, ny-1): it either fills
// `scratch` (ny frames) and returns it, or returns a view of frames it holds itself.
using FrameRowSource =
    std::function<std::span<const Mat3>(std::uint64_t i, std::span<Mat3> scratch)>;

// Receives each plaquette that passes the test, in scan order.
using PlaquetteVisitor = std::function<void(const PlaquetteHolonomy&)>;

// scan_disclinations for callers that make frames as they go and consume the hits as
// they come: the same plaquettes, holonomies, angles and order. Rows are requested once
// each, i = 0 .. nx-1 in order (none when nx < 2 or ny < 2), and only two are held at a
// time. A returned row must hold ny frames (Panic otherwise) and is read before the
// next request.
void scan_disclination_rows(std::uint64_t nx, std::uint64_t ny, double threshold,
                            const FrameRowSource& row_frames, const PlaquetteVisitor& on_hit);

// The same for the plaquette rows r0 <= i < r1 only (r1 <= nx - 1): frame rows r0 .. r1 are
// requested, in order. Independent calls on disjoint ranges may run on different threads
// (each with its own row source and visitor); together they give the whole scan.
void scan_disclination_row_range(std::uint64_t r0, std::uint64_t r1, std::uint64_t ny,
                                 double threshold, const FrameRowSource& row_frames,
                                 const PlaquetteVisitor& on_hit);

}  // namespace tarnel_geo
