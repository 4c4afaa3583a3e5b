#pragma once
// Additive noise of the 3D runners. Every step seeds a fresh xoshiro256++ stream
// from (step index XOR the runner's constant), so the noise of step s depends on s
// alone, never on the history of the run.

#include <cstdint>

#include "lodestra_fields/fields3d.hpp"

namespace lodestra_solver {

// The stream constants of the two runners.
inline constexpr std::uint64_t kDryNoiseStream = 0xDEADBEEFCAFE1234ULL;
inline constexpr std::uint64_t kBechNoiseStream = 0xDEADBEEFCAFE5678ULL;

// Adds K times three Box-Muller pairs per vertex to q, vertices in flat order: six
// uniforms u1..u6 give r_a = sqrt(ln(max(u, m)) * -2) and theta_a = 2 pi u, and
//   q11 += K r1 cos t1, q12 += K r1 sin t1, q13 += K r2 cos t2, q22 += K r2 sin t2,
//   q23 += K r3 cos t3   (the sixth deviate, r3 sin t3, is drawn but unused),
// each written as K * (r * trig) + q. m is the smallest normal double.
void add_noise_3d(lodestra_fields::QField3D& q, std::uint64_t seed, double k);

}  // namespace lodestra_solver
