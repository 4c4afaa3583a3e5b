#pragma once
// Additive noise of the 2D runs: one xoshiro256++ stream for the whole run, two
// uniforms per vertex in index order, turned into a Box-Muller pair added to
// (q1, q2). The specified drivers seed the stream from the grid and the step
// count; a steppable run seeds it from its own seed and carries the generator
// from segment to segment.

#include <cstdint>

#include "lodestra_core/params.hpp"
#include "lodestra_fields/fields2d.hpp"
#include "lodestra_fields/random.hpp"

namespace lodestra_solver {

// The drivers' seed: (nx A) xor (ny C) xor n_steps, all modulo 2^64, with the
// MMIX multiplier and increment as mixing constants (nx, ny of the parameter set).
std::uint64_t driver_noise_seed_2d(const lodestra_core::RidiParams& params, std::uint64_t n_steps);

// The stream seed of a seeded run: SplitMix64's output function applied twice to the
// seed mixed with a constant of the 2D stream; different seeds give unrelated streams.
std::uint64_t seeded_noise_seed_2d(std::uint64_t seed);

// Box-Muller: two uniforms per vertex, in index order, give the pair
// r (cos theta, sin theta) with r = sigma sqrt(-2 ln max(u1, m)) and theta = 2 pi u2
// (m the smallest normal double), two independent normal deviates of standard
// deviation sigma, added to c1[k * stride] and c2[k * stride] of vertex k.
void add_noise_2d(lodestra_fields::Count n, double* c1, double* c2, lodestra_fields::Count stride,
                  lodestra_fields::Xoshiro256pp& gen, double sigma);

// The noise of one step: sigma = noise_amp sqrt(dt), applied only when noise_amp > 0
// (a NaN or negative amplitude adds nothing and draws nothing).
struct Noise2D {
  bool enabled;
  double sigma;

  explicit Noise2D(const lodestra_core::RidiParams& params);

  void apply(lodestra_fields::QField2D& q, lodestra_fields::Xoshiro256pp& gen) const;
  void apply(lodestra_fields::Count n, double* q1, double* q2,
             lodestra_fields::Xoshiro256pp& gen) const;
};

}  // namespace lodestra_solver
