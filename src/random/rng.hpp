#pragma once

#include <cstdint>

namespace vorel {

// A small deterministic generator (permuted congruential: 64-bit state, 64-bit output).
// It fills the position-hash tables, so its sequence must never change.
class Rng {
 public:
  std::uint64_t state;
  std::uint64_t inc;  // stream constant; each step adds inc | 1

  static constexpr std::uint64_t MULTIPLIER = 0x5851f42d4c957f2dULL;

  // Returns a generator with the given stream whose state is `state` advanced by one step.
  static constexpr Rng new_deterministic(std::uint64_t state, std::uint64_t inc) {
    return Rng{state * MULTIPLIER + (inc | 1), inc};
  }

  // Returns the draw computed from the current state, then advances the state.
  constexpr std::uint64_t random() {
    const std::uint64_t old_state = state;
    state = old_state * MULTIPLIER + (inc | 1);
    // The output keeps all 64 bits: xorshifted has up to 37 significant bits and the
    // rotation below is not cut to 32 bits.
    const std::uint64_t xorshifted = ((old_state >> 18) ^ old_state) >> 27;
    const std::uint64_t rot = old_state >> 59;
    return (xorshifted >> rot) | (xorshifted << ((0 - rot) & 31));
  }
};

}  // namespace vorel
