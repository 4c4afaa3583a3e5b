#include "lodestra_fields/random.hpp"

#include <array>
#include <cstdint>

namespace lodestra_fields {

namespace {

// A 256-bit xoshiro256 state as four words, bit b of word w at index 64 w + b.
using State = std::array<std::uint64_t, 4>;

State step(State s) {
  Xoshiro256pp g{{s[0], s[1], s[2], s[3]}};
  g.next();
  return {g.s[0], g.s[1], g.s[2], g.s[3]};
}

// A linear map of states: column c is the image of the state with only bit c set.
struct BitMatrix {
  std::array<State, 256> columns;

  State apply(const State& s) const {
    State out{};
    for (int c = 0; c < 256; ++c) {
      if (((s[c / 64] >> (c % 64)) & 1U) == 0) continue;
      for (int w = 0; w < 4; ++w) out[w] ^= columns[c][w];
    }
    return out;
  }
};

// T^(2^m) for m = 0 .. 63, T the state update of next().
struct JumpTable {
  std::array<BitMatrix, 64> powers;

  JumpTable() {
    for (int c = 0; c < 256; ++c) {
      State unit{};
      unit[c / 64] = std::uint64_t{1} << (c % 64);
      powers[0].columns[c] = step(unit);
    }
    for (int m = 1; m < 64; ++m) {
      for (int c = 0; c < 256; ++c) {
        powers[m].columns[c] = powers[m - 1].apply(powers[m - 1].columns[c]);
      }
    }
  }
};

const JumpTable& jump_table() {
  static const JumpTable* const table = new JumpTable();
  return *table;
}

}  // namespace

void Xoshiro256pp::advance(std::uint64_t steps) {
  if (steps == 0) return;
  const JumpTable& table = jump_table();
  State state{s[0], s[1], s[2], s[3]};
  for (int m = 0; m < 64; ++m) {
    if (((steps >> m) & 1U) != 0) state = table.powers[m].apply(state);
  }
  for (int w = 0; w < 4; ++w) s[w] = state[w];
}

}  // namespace lodestra_fields
