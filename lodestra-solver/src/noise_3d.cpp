#include "lodestra_solver/noise_3d.hpp"

#include <algorithm>
#include <cmath>

#include "lodestra_core/threads.hpp"
#include "lodestra_fields/random.hpp"

namespace lodestra_solver {

namespace {

constexpr double kTwoPi = 6.283185307179586;
constexpr double kSmallestNormal = 2.2250738585072014e-308;

double radius(double u) { return std::sqrt(std::log(std::max(u, kSmallestNormal)) * -2.0); }

}  // namespace

// Vertex v draws uniforms 6v .. 6v + 5 of the step's stream, so a share of the vertices
// starting at v0 starts from the seeded generator advanced by 6 v0 draws: every thread
// count adds the same deviates to the same components.
void add_noise_3d(lodestra_fields::QField3D& q, std::uint64_t seed, double k) {
  using lodestra_fields::Count;
  const auto seeded = lodestra_fields::Xoshiro256pp::seeded(seed);
  const Count n = q.data.size() / lodestra_fields::QField3D::kWidth;
  double* const data = q.data.data();
  // About twenty elementary operations' worth per vertex (six logs, sines and cosines).
  lodestra_core::parallel_for(0, n, lodestra_core::grain_for(100), [&](Count v0, Count v1) {
    auto gen = seeded;
    gen.advance(6 * v0);
    double* rec = data + 5 * v0;
    for (Count v = v0; v < v1; ++v, rec += 5) {
      const double u1 = gen.uniform01();
      const double u2 = gen.uniform01();
      const double u3 = gen.uniform01();
      const double u4 = gen.uniform01();
      const double u5 = gen.uniform01();
      const double u6 = gen.uniform01();
      const double r1 = radius(u1);
      const double t1 = u2 * kTwoPi;
      const double r2 = radius(u3);
      const double t2 = u4 * kTwoPi;
      const double r3 = radius(u5);
      const double t3 = u6 * kTwoPi;
      rec[0] = k * (r1 * std::cos(t1)) + rec[0];
      rec[1] = k * (r1 * std::sin(t1)) + rec[1];
      rec[2] = k * (r2 * std::cos(t2)) + rec[2];
      rec[3] = k * (r2 * std::sin(t2)) + rec[3];
      rec[4] = k * (r3 * std::cos(t3)) + rec[4];
    }
  });
}

}  // namespace lodestra_solver
