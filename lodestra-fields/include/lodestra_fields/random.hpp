#pragma once
// The seeded generators of the library, each with its constants in one place.

#include <cstdint>

namespace lodestra_fields {

// 64-bit linear congruential generator with Knuth's MMIX constants, arithmetic
// modulo 2^64. next() advances the state and returns it.
struct Lcg64 {
  static constexpr std::uint64_t kMultiplier = 0x5851F42D4C957F2DULL;
  static constexpr std::uint64_t kIncrement = 0x14057B7EF767814FULL;
  std::uint64_t state;

  std::uint64_t next() {
    state = state * kMultiplier + kIncrement;
    return state;
  }
};

// SplitMix64's output function: a bijective mix of 64 bits, also used on its own to
// derive the seeds of independent noise streams from a user's seed.
inline std::uint64_t splitmix64_mix(std::uint64_t z) {
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

// SplitMix64: the reference seeding generator for xoshiro.
struct SplitMix64 {
  std::uint64_t state;

  std::uint64_t next() {
    state += 0x9E3779B97F4A7C15ULL;
    return splitmix64_mix(state);
  }
};

// xoshiro256++ (Blackman and Vigna), its four state words filled by four
// successive SplitMix64 outputs started from the seed.
struct Xoshiro256pp {
  std::uint64_t s[4];

  static Xoshiro256pp seeded(std::uint64_t seed) {
    SplitMix64 init{seed};
    Xoshiro256pp g{};
    for (std::uint64_t& word : g.s) word = init.next();
    return g;
  }

  static std::uint64_t rotl(std::uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }

  std::uint64_t next() {
    const std::uint64_t result = rotl(s[0] + s[3], 23) + s[0];
    const std::uint64_t t = s[1] << 17;
    s[2] ^= s[0];
    s[3] ^= s[1];
    s[1] ^= s[2];
    s[0] ^= s[3];
    s[2] ^= t;
    s[3] = rotl(s[3], 45);
    return result;
  }

  // Uniform real in [0, 1): the top 53 bits times 2^-53.
  double uniform01() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }

  // The state after `steps` calls of next(), reached without making them: the state
  // update is linear over GF(2), so it is a 256 x 256 bit matrix T, and the jump applies
  // the tabulated T^(2^m) of every set bit m of `steps` (random.cpp). Lets threads start
  // their share of one stream where a single thread would reach it.
  void advance(std::uint64_t steps);
};

}  // namespace lodestra_fields
