#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <numbers>
#include <vector>

#include "lodestra_core/panic.hpp"
#include "lodestra_fields/random.hpp"
#include "same_bits.hpp"
#include "tarnel_geo/holonomy.hpp"
#include "tarnel_manifolds/qtensor.hpp"

using tarnel_geo::is_half_disclination;
using tarnel_geo::loop_holonomy;
using tarnel_geo::rotation_angle;
using tarnel_geo::scan_disclinations;
using tarnel_manifolds::Mat3;
using tarnel_manifolds::qtensor::q_to_frame;

namespace {

constexpr double kPi = std::numbers::pi;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Rotation by phi about coordinate axis `axis`.
Mat3 rotation(std::size_t axis, double phi) {
  const std::size_t a = (axis + 1) % 3, b = (axis + 2) % 3;
  Mat3 r = Mat3::identity();
  r(a, a) = std::cos(phi);
  r(b, b) = std::cos(phi);
  r(b, a) = std::sin(phi);
  r(a, b) = -std::sin(phi);
  return r;
}

// Frame of the plane director at angle theta (the tensor cos 2theta, sin 2theta).
Mat3 plane_frame(double theta) {
  const double q1 = std::cos(2.0 * theta), q2 = std::sin(2.0 * theta);
  return q_to_frame(Mat3{{q1, q2, 0.0, q2, -q1, 0.0, 0.0, 0.0, 0.0}});
}

// Frames of an nx x ny grid, vertex (i, j) at i*ny + j, director angle theta(x = i, y = j).
std::vector<Mat3> grid_frames(std::uint64_t nx, std::uint64_t ny,
                              const std::function<double(double, double)>& theta) {
  std::vector<Mat3> frames;
  for (std::uint64_t i = 0; i < nx; ++i) {
    for (std::uint64_t j = 0; j < ny; ++j) {
      frames.push_back(plane_frame(theta(static_cast<double>(i), static_cast<double>(j))));
    }
  }
  return frames;
}

// A +-1/2 defect: theta = sign * atan2(y - y0, x - x0) / 2 + phase.
std::function<double(double, double)> half_defect(double x0, double y0, double sign, double phase) {
  return [=](double x, double y) { return sign * 0.5 * std::atan2(y - y0, x - x0) + phase; };
}

// Equal to the last bit, signed zeros and NaNs included.
bool same_bits(const Mat3& a, const Mat3& b) { return ::same_bits(a.data, b.data); }

void expect_panics_with(const std::function<void()>& call, const char* message) {
  try {
    call();
    ADD_FAILURE() << "no panic, expected: " << message;
  } catch (const lodestra_core::Panic& p) {
    EXPECT_STREQ(p.what(), message);
  }
}

}  // namespace

TEST(RotationAngle, KnownRotationsClampAndNaN) {
  EXPECT_EQ(rotation_angle(Mat3::identity()), 0.0);
  for (std::size_t axis = 0; axis < 3; ++axis) {
    for (double phi : {0.1, 1.0, kPi / 2.0, 2.5, -2.0}) {
      EXPECT_NEAR(rotation_angle(rotation(axis, phi)), std::abs(phi), 1e-7);
    }
  }
  // Traces just outside [-1, 3] from rounding are clamped, not NaN.
  EXPECT_EQ(rotation_angle(Mat3{{1.0 + 1e-15, 0, 0, 0, 1.0, 0, 0, 0, 1.0}}), 0.0);
  EXPECT_EQ(rotation_angle(Mat3{{-1.0 - 1e-15, 0, 0, 0, -1.0, 0, 0, 0, 1.0}}), kPi);
  Mat3 nan_h = Mat3::identity();
  nan_h(1, 1) = kNaN;
  EXPECT_TRUE(std::isnan(rotation_angle(nan_h)));
}

TEST(IsHalfDisclination, StrictComparisonAndDefaultThreshold) {
  EXPECT_EQ(tarnel_geo::kHalfDisclinationThreshold, kPi / 2.0);
  const Mat3 half_turn = rotation(1, kPi);
  EXPECT_TRUE(is_half_disclination(half_turn));
  EXPECT_TRUE(is_half_disclination(half_turn, 3.0));
  EXPECT_FALSE(is_half_disclination(half_turn, kPi));
  EXPECT_FALSE(is_half_disclination(Mat3::identity(), 0.0));
  EXPECT_TRUE(is_half_disclination(Mat3::identity(), -1e-300));
  const Mat3 turn = rotation(2, 1.6);
  EXPECT_TRUE(is_half_disclination(turn));
  EXPECT_EQ(is_half_disclination(turn), is_half_disclination(turn, kPi / 2.0));
  EXPECT_FALSE(is_half_disclination(rotation(2, 1.5)));
  Mat3 nan_h = Mat3::identity();
  nan_h(0, 0) = kNaN;
  EXPECT_FALSE(is_half_disclination(nan_h, -10.0));
}

TEST(LoopHolonomy, NeedsTwoFrames) {
  const char* message = "loop_holonomy requires at least 2 frames";
  expect_panics_with([] { (void)loop_holonomy({}); }, message);
  const std::array<Mat3, 1> one = {Mat3::identity()};
  expect_panics_with([&] { (void)loop_holonomy(one); }, message);
  const std::array<Mat3, 2> two = {Mat3::identity(), Mat3::identity()};
  EXPECT_EQ(loop_holonomy(two), Mat3::identity());
}

TEST(LoopHolonomy, SignFlipsCancelAndTurnsAddUp) {
  // The same frame with each proper sign pattern around a loop: no rotation left.
  const Mat3 f = plane_frame(0.37);
  auto flip = [&](double s0, double s1, double s2) {
    Mat3 g = f;
    const double s[3] = {s0, s1, s2};
    for (std::size_t c = 0; c < 3; ++c) {
      for (std::size_t r = 0; r < 3; ++r) g(r, c) *= s[c];
    }
    return g;
  };
  const std::array<Mat3, 4> flipped = {f, flip(-1, -1, 1), flip(-1, 1, -1), flip(1, -1, -1)};
  EXPECT_LT(rotation_angle(loop_holonomy(flipped)), 1e-7);

  // A director turning by pi in n equal steps closes onto itself up to sign, leaving a
  // rotation by pi about the plane normal (frame axis 1); turning there and back leaves none.
  for (std::size_t n : {3u, 4u, 7u}) {
    std::vector<Mat3> half_turn, there_and_back;
    for (std::size_t k = 0; k < n; ++k) half_turn.push_back(plane_frame(0.2 + kPi * k / n));
    for (std::size_t k = 0; k < n; ++k)
      there_and_back.push_back(plane_frame(0.3 * (k < n / 2.0 ? k : n - k)));
    const Mat3 h = loop_holonomy(half_turn);
    EXPECT_NEAR(rotation_angle(h), kPi, 1e-7) << n;
    EXPECT_NEAR(h(1, 1), 1.0, 1e-14);  // the axis of the rotation is the frame's normal
    EXPECT_LT(rotation_angle(loop_holonomy(there_and_back)), 1e-7) << n;
  }

  // Frames that are general 3D rotations of one another: the holonomy is T_0 ... T_{n-1}
  // with T_k = F_k^T F_{k+1}, here a telescoping product equal to the identity.
  lodestra_fields::Xoshiro256pp rng = lodestra_fields::Xoshiro256pp::seeded(4);
  const Mat3 base = plane_frame(0.0);
  std::vector<Mat3> wobble;
  for (int k = 0; k < 5; ++k) {
    Mat3 r = rotation(k % 3, 0.5 * (rng.uniform01() - 0.5));
    Mat3 g;
    for (std::size_t c = 0; c < 3; ++c) {
      for (std::size_t row = 0; row < 3; ++row) {
        g(row, c) = r(row, 0) * base(0, c) + r(row, 1) * base(1, c) + r(row, 2) * base(2, c);
      }
    }
    wobble.push_back(g);
  }
  const Mat3 h = loop_holonomy(wobble);
  for (std::size_t k = 0; k < 9; ++k) EXPECT_NEAR(h.data[k], Mat3::identity().data[k], 1e-14);
}

TEST(ScanDisclinations, PreconditionsAndDegenerateGrids) {
  const std::vector<Mat3> six(6, Mat3::identity());
  const char* message = "frames.len() must equal nx * ny";
  expect_panics_with([&] { (void)scan_disclinations(six, 2, 2, 0.0); }, message);
  expect_panics_with([&] { (void)scan_disclinations(six, 4, 2, 0.0); }, message);
  // nx * ny overflowing 64 bits is a mismatch, not a wrapped product that might match.
  expect_panics_with([&] { (void)scan_disclinations(six, (1ULL << 63) + 3, 2, 0.0); }, message);
  expect_panics_with([&] { (void)scan_disclinations({}, 1, 1, 0.0); }, message);

  for (auto [nx, ny] : {std::pair{0u, 0u}, {0u, 5u}, {5u, 0u}, {1u, 6u}, {6u, 1u}, {1u, 1u}}) {
    const std::vector<Mat3> frames(nx * ny, plane_frame(0.4));
    EXPECT_TRUE(scan_disclinations(frames, nx, ny, -1.0).empty()) << nx << "x" << ny;
  }
  // NaN frames never pass, whatever the threshold.
  Mat3 nan_frame;
  nan_frame.data.fill(kNaN);
  EXPECT_TRUE(scan_disclinations(std::vector<Mat3>(12, nan_frame), 3, 4, -1.0).empty());
}

TEST(ScanDisclinations, UniformFieldHasNoDefects) {
  // Directors along the axes give exact unit frames and an exact identity holonomy;
  // any other orientation leaves the rounding of F^T F, far below any useful threshold.
  for (double theta : {0.0, kPi / 2.0, kPi / 4.0, 0.3, -1.2}) {
    const std::vector<Mat3> frames = grid_frames(5, 4, [=](double, double) { return theta; });
    const bool axis_aligned = theta == 0.0 || theta == kPi / 2.0;
    for (double threshold : {0.0, 1e-6, 1.0, kPi / 2.0, 3.0}) {
      if (!axis_aligned && threshold == 0.0) continue;
      EXPECT_TRUE(scan_disclinations(frames, 5, 4, threshold).empty()) << theta << " " << threshold;
    }
    const auto all = scan_disclinations(frames, 5, 4, -1.0);
    ASSERT_EQ(all.size(), 12u);
    for (const auto& p : all) {
      for (std::size_t k = 0; k < 9; ++k) {
        EXPECT_NEAR(p.holonomy.data[k], Mat3::identity().data[k], 1e-14);
      }
      if (axis_aligned) {
        EXPECT_EQ(p.holonomy, Mat3::identity());
      }
    }
  }
}

TEST(ScanDisclinations, ThresholdsAndOrder) {
  const std::uint64_t nx = 7, ny = 6;
  const std::vector<Mat3> frames = grid_frames(nx, ny, half_defect(3.5, 2.5, 1.0, 0.1));
  // A negative threshold reports every plaquette, i-major then j-minor.
  const auto all = scan_disclinations(frames, nx, ny, -0.5);
  ASSERT_EQ(all.size(), (nx - 1) * (ny - 1));
  std::size_t n = 0;
  for (std::uint64_t i = 0; i + 1 < nx; ++i) {
    for (std::uint64_t j = 0; j + 1 < ny; ++j, ++n) {
      EXPECT_EQ(all[n].plaquette, std::make_pair(i, j));
      EXPECT_GE(all[n].angle, 0.0);
      EXPECT_LE(all[n].angle, kPi);
      EXPECT_EQ(all[n].angle, rotation_angle(all[n].holonomy));
      const std::array<Mat3, 4> loop = {frames[i * ny + j], frames[(i + 1) * ny + j],
                                        frames[(i + 1) * ny + j + 1], frames[i * ny + j + 1]};
      EXPECT_TRUE(same_bits(all[n].holonomy, loop_holonomy(loop)));
    }
  }
  EXPECT_EQ(all[0].plaquette, std::make_pair(std::uint64_t{0}, std::uint64_t{0}));
  EXPECT_EQ(all[1].plaquette, std::make_pair(std::uint64_t{0}, std::uint64_t{1}));
  EXPECT_EQ(all[ny - 1].plaquette, std::make_pair(std::uint64_t{1}, std::uint64_t{0}));

  // threshold >= pi is never exceeded; the default threshold is pi/2.
  EXPECT_TRUE(scan_disclinations(frames, nx, ny, kPi).empty());
  EXPECT_TRUE(scan_disclinations(frames, nx, ny, 4.0).empty());
  const auto by_default = scan_disclinations(frames, nx, ny);
  const auto explicit_half_pi = scan_disclinations(frames, nx, ny, kPi / 2.0);
  ASSERT_EQ(by_default.size(), 1u);
  ASSERT_EQ(explicit_half_pi.size(), 1u);
  EXPECT_EQ(by_default[0].plaquette, explicit_half_pi[0].plaquette);
  EXPECT_EQ(by_default[0].holonomy, explicit_half_pi[0].holonomy);
}

TEST(ScanDisclinations, HalfDefectsTurnByPiAtTheirPlaquetteOnly) {
  const std::uint64_t nx = 12, ny = 9;
  for (double sign : {1.0, -1.0}) {
    for (double phase : {0.0, 0.7, -2.1}) {
      for (auto [ci, cj] : {std::pair{3u, 4u}, {0u, 0u}, {10u, 7u}, {6u, 1u}}) {
        const auto frames = grid_frames(nx, ny, half_defect(ci + 0.5, cj + 0.5, sign, phase));
        for (const auto& p : scan_disclinations(frames, nx, ny, -1.0)) {
          if (p.plaquette == std::make_pair(std::uint64_t{ci}, std::uint64_t{cj})) {
            EXPECT_NEAR(p.angle, kPi, 1e-6);
            EXPECT_NEAR(p.holonomy(1, 1), 1.0, 1e-12);  // a half turn about the normal
          } else {
            EXPECT_LT(p.angle, 1e-6) << p.plaquette.first << "," << p.plaquette.second;
          }
        }
      }
    }
  }
}

TEST(ScanDisclinations, DefectOnThePeriodicSeamIsNotReported) {
  const std::uint64_t nx = 8, ny = 7;
  // Core between i = nx-1 and i = 0, and between j = ny-1 and j = 0: no plaquette holds it.
  for (auto [x0, y0] : {std::pair{nx - 0.5, 3.5}, {2.5, ny - 0.5}, {-0.5, -0.5}}) {
    for (double sign : {1.0, -1.0}) {
      const auto frames = grid_frames(nx, ny, half_defect(x0, y0, sign, 0.3));
      EXPECT_TRUE(scan_disclinations(frames, nx, ny, kPi / 2.0).empty());
    }
  }
}

// The scan evaluates many plaquettes side by side; each must equal loop_holonomy of its
// four corners to the last bit, for general 3D frames (not only plane ones), for NaN
// frames, and for every row length (rows shorter and longer than one vector of lanes).
TEST(ScanDisclinations, EveryPlaquetteEqualsItsLoopHolonomyBitForBit) {
  lodestra_fields::Xoshiro256pp rng = lodestra_fields::Xoshiro256pp::seeded(77);
  auto random_frame = [&] {
    Mat3 s;
    for (std::size_t c = 0; c < 3; ++c) {
      for (std::size_t r = c; r < 3; ++r) s(r, c) = s(c, r) = 2.0 * rng.uniform01() - 1.0;
    }
    return q_to_frame(s);
  };
  for (std::uint64_t nx : {2u, 3u, 5u}) {
    for (std::uint64_t ny : {2u, 3u, 4u, 5u, 6u, 9u, 17u}) {
      std::vector<Mat3> frames(nx * ny);
      for (Mat3& f : frames) f = random_frame();
      frames[rng.next() % frames.size()].data.fill(kNaN);
      if (nx == 3) {
        // Signed permutation matrices, proper and improper: their d scores are exactly
        // 0 or +-1, so every tie rule of the gauge fix is taken somewhere.
        for (Mat3& f : frames) {
          const std::uint64_t pick = rng.next();
          const std::size_t perm[6][3] = {{0, 1, 2}, {0, 2, 1}, {1, 0, 2},
                                          {1, 2, 0}, {2, 0, 1}, {2, 1, 0}};
          f = Mat3{};
          for (std::size_t c = 0; c < 3; ++c) {
            f(perm[pick % 6][c], c) = (pick >> (8 + c)) & 1 ? -1.0 : 1.0;
          }
        }
      }
      // Exact signed zeros exercise the rules for -0 + +0 in every sum.
      frames[rng.next() % frames.size()] = Mat3{{-0.0, 1.0, 0.0, 0.0, -0.0, -1.0, -1.0, 0.0, -0.0}};
      const auto all = scan_disclinations(frames, nx, ny, -1.0);
      std::size_t n = 0;
      for (std::uint64_t i = 0; i + 1 < nx; ++i) {
        for (std::uint64_t j = 0; j + 1 < ny; ++j) {
          const std::array<Mat3, 4> loop = {frames[i * ny + j], frames[(i + 1) * ny + j],
                                            frames[(i + 1) * ny + j + 1], frames[i * ny + j + 1]};
          const Mat3 h = loop_holonomy(loop);
          if (std::isnan(rotation_angle(h))) continue;  // never reported
          ASSERT_LT(n, all.size());
          EXPECT_EQ(all[n].plaquette, std::make_pair(i, j));
          EXPECT_TRUE(same_bits(all[n].holonomy, h))
              << nx << "x" << ny << " (" << i << "," << j << ")";
          EXPECT_EQ(all[n].angle, rotation_angle(h));
          ++n;
        }
      }
      EXPECT_EQ(n, all.size());
    }
  }
}

// The scan skips the acos of plaquettes whose angle cannot exceed the threshold; the
// cut must never drop a plaquette that the plain comparison keeps, least of all at
// thresholds just below an angle.
TEST(ScanDisclinations, ThresholdIsComparedExactlyWithEveryAngle) {
  lodestra_fields::Xoshiro256pp rng = lodestra_fields::Xoshiro256pp::seeded(13);
  const std::uint64_t nx = 9, ny = 11;
  // Directors turning by random amounts give angles spread over [0, pi].
  const std::vector<Mat3> frames =
      grid_frames(nx, ny, [&](double, double) { return kPi * rng.uniform01(); });
  const auto all = scan_disclinations(frames, nx, ny, -1.0);
  ASSERT_EQ(all.size(), (nx - 1) * (ny - 1));
  for (const auto& p : all) {
    for (double threshold : {p.angle, std::nextafter(p.angle, -1.0), std::nextafter(p.angle, 4.0),
                             p.angle - 1e-12, p.angle + 1e-12}) {
      if (!(threshold >= 0.0)) continue;
      std::size_t expected = 0;
      for (const auto& q : all) expected += q.angle > threshold ? 1 : 0;
      EXPECT_EQ(scan_disclinations(frames, nx, ny, threshold).size(), expected) << threshold;
    }
  }
}

TEST(ScanDisclinationRows, StreamsRowsOnceInOrderAndChecksTheirLength) {
  const std::uint64_t nx = 6, ny = 5;
  const std::vector<Mat3> frames = grid_frames(nx, ny, half_defect(2.5, 1.5, -1.0, 0.4));
  std::vector<std::uint64_t> asked;
  std::vector<tarnel_geo::PlaquetteHolonomy> streamed;
  tarnel_geo::scan_disclination_rows(
      nx, ny, -1.0,
      [&](std::uint64_t i, std::span<Mat3> scratch) -> std::span<const Mat3> {
        asked.push_back(i);
        std::copy_n(frames.begin() + i * ny, ny, scratch.begin());  // fill the scratch row
        return scratch;
      },
      [&](const tarnel_geo::PlaquetteHolonomy& hit) { streamed.push_back(hit); });
  EXPECT_EQ(asked, (std::vector<std::uint64_t>{0, 1, 2, 3, 4, 5}));
  const auto whole = scan_disclinations(frames, nx, ny, -1.0);
  ASSERT_EQ(streamed.size(), whole.size());
  for (std::size_t n = 0; n < whole.size(); ++n) {
    EXPECT_EQ(streamed[n].plaquette, whole[n].plaquette);
    EXPECT_TRUE(same_bits(streamed[n].holonomy, whole[n].holonomy));
  }

  expect_panics_with(
      [&] {
        tarnel_geo::scan_disclination_rows(
            nx, ny, 0.0,
            [&](std::uint64_t i, std::span<Mat3>) -> std::span<const Mat3> {
              return std::span<const Mat3>(frames).subspan(i * ny, ny - 1);
            },
            [](const tarnel_geo::PlaquetteHolonomy&) {});
      },
      "a frame row must hold ny frames");
  bool called = false;
  tarnel_geo::scan_disclination_rows(
      1, ny, -1.0,
      [&](std::uint64_t, std::span<Mat3> s) -> std::span<const Mat3> {
        called = true;
        return s;
      },
      [](const tarnel_geo::PlaquetteHolonomy&) {});
  EXPECT_FALSE(called);
}
