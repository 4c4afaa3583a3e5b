#include "lodestra_solver/noise_2d.hpp"

#include <algorithm>
#include <cmath>

namespace lodestra_solver {

using lodestra_fields::Count;
using lodestra_fields::Xoshiro256pp;

namespace {

constexpr double kTwoPi = 6.283185307179586;
// Smallest normal double: keeps ln(u1) finite when the generator returns 0.
constexpr double kSmallestNormal = 2.2250738585072014e-308;

constexpr std::uint64_t kSeededStream2D = 0x2D5EEDED0A1C3F17ULL;

}  // namespace

std::uint64_t seeded_noise_seed_2d(std::uint64_t seed) {
  return lodestra_fields::splitmix64_mix(lodestra_fields::splitmix64_mix(seed ^ kSeededStream2D));
}

std::uint64_t driver_noise_seed_2d(const lodestra_core::RidiParams& params, std::uint64_t n_steps) {
  return (params.nx * 0x5851F42D4C957F2DULL) ^ (params.ny * 0x14057B7EF767814FULL) ^ n_steps;
}

void add_noise_2d(Count n, double* c1, double* c2, Count stride, Xoshiro256pp& gen, double sigma) {
  for (Count k = 0; k < n; ++k) {
    const double u1 = gen.uniform01();
    const double u2 = gen.uniform01();
    const double r = sigma * std::sqrt(std::log(std::max(u1, kSmallestNormal)) * -2.0);
    const double theta = u2 * kTwoPi;
    c1[k * stride] += r * std::cos(theta);
    c2[k * stride] += r * std::sin(theta);
  }
}

Noise2D::Noise2D(const lodestra_core::RidiParams& params)
    : enabled(params.noise_amp > 0.0), sigma(params.noise_amp * std::sqrt(params.dt)) {}

void Noise2D::apply(lodestra_fields::QField2D& q, Xoshiro256pp& gen) const {
  if (enabled) add_noise_2d(q.len(), q.data.data(), q.data.data() + 1, 2, gen, sigma);
}

void Noise2D::apply(Count n, double* q1, double* q2, Xoshiro256pp& gen) const {
  if (enabled) add_noise_2d(n, q1, q2, 1, gen, sigma);
}

}  // namespace lodestra_solver
