#pragma once

#include <array>
#include <cassert>
#include <cstddef>
#include <cstdint>

#include "common/fault.hpp"
#include "common/types.hpp"
#include "random/rng.hpp"

namespace vorel {

// Features of a position: piece p on square s is feature p * 64 + s (0..767);
// bit b of the info word (b = 0..21) is feature 768 + b. The board uses info bits 0..20 only,
// so feature 789, for bit 21, is never present.
inline constexpr std::size_t FEATURE_NB = 790;
inline constexpr std::size_t INFO_FEATURE = 768;

// One random value per feature, drawn in feature order from a generator seeded by `seed`
// whose stream is the entry width in bytes. Immutable once built.
template <class T>
struct ZobristLookupTable {
  std::array<T, FEATURE_NB> features;

  explicit constexpr ZobristLookupTable(std::uint64_t seed) : features{} {
    Rng rng = Rng::new_deterministic(seed, sizeof(T));
    for (T& entry : features) entry = static_cast<T>(rng.random());
  }

  // Returns entry f; an index beyond the table is an internal fault.
  const T& index(std::size_t f) const {
    if (f >= FEATURE_NB) throw Fault("index out of range: feature table has 790 entries");
    return features[f];
  }
};

using Zobrist64 = ZobristLookupTable<std::uint64_t>;
using Zobrist16 = ZobristLookupTable<std::uint16_t>;

// The one pair of tables of the process, computed at compile time. They never change, so every
// board refers to the same pair: building a board allocates nothing for them, and a copy shares
// them without counting references.
inline constexpr Zobrist64 Z64_TABLE{0};
inline constexpr Zobrist16 Z16_TABLE{404};

// The incremental hash of a position: z_key and z_sum are the exclusive-or of the entries of
// all present features in the 64-bit and 16-bit tables. Copies share the tables.
class ZobristBoardComponent {
 public:
  std::uint64_t z_key = 0;
  std::uint16_t z_sum = 0;
  const Zobrist64* z64 = &Z64_TABLE;
  const Zobrist16* z16 = &Z16_TABLE;

  // Refers to the process's tables and computes the hash of the given position.
  ZobristBoardComponent(const Pieces& pieces, std::uint64_t info) { recompute(pieces, info); }

  // Sets z_key and z_sum from scratch for the given position; the tables stay.
  void recompute(const Pieces& pieces, std::uint64_t info) {
    // In locals: the stores to z_key and z_sum could otherwise alias the tables' entries.
    const std::uint64_t* key_entries = z64->features.data();
    const std::uint16_t* sum_entries = z16->features.data();
    std::uint64_t key = 0;
    std::uint16_t sum = 0;
    const auto toggle_local = [&](std::size_t feature) {
      key ^= key_entries[feature];
      sum ^= sum_entries[feature];
    };
    for (std::size_t piece = 0; piece < PIECE_NB; ++piece) {
      for (Bitboard b = pieces[piece]; b != 0;) toggle_local(piece * 64 + pop_lsb(b));
    }
    for (Bitboard b = info & INFO_FEATURE_BITS; b != 0;) toggle_local(INFO_FEATURE + pop_lsb(b));
    z_key = key;
    z_sum = sum;
  }

  // Toggles the feature of `piece` standing on `square`.
  void xor_piece(std::size_t piece, std::uint16_t square) {
    assert(piece < PIECE_NB && square < SQUARE_NB);
    toggle(piece * 64 + square);
  }

  // Toggles the feature of info bit `info_idx` (0..21); a higher bit has none and is an internal
  // fault.
  void xor_info(std::uint16_t info_idx) {
    z_key ^= z64->index(INFO_FEATURE + info_idx);
    z_sum ^= z16->index(INFO_FEATURE + info_idx);
  }

  // Toggles the features of `piece` on every square of `changed`.
  void xor_squares(std::size_t piece, Bitboard changed) {
    while (changed != 0) xor_piece(piece, static_cast<std::uint16_t>(pop_lsb(changed)));
  }

  // Toggles the features of the info bits set in `changed`, lowest first. A bit of 22 or above
  // has no feature: the index-out-of-range fault, raised before anything changes, as xor_info
  // would raise it for the first such bit.
  void xor_info_bits(std::uint64_t changed) {
    if ((changed & ~INFO_FEATURE_BITS) != 0) [[unlikely]]
      (void)z64->index(INFO_FEATURE + std::countr_zero(changed & ~INFO_FEATURE_BITS));
    while (changed != 0) toggle(INFO_FEATURE + pop_lsb(changed));
  }

 private:
  static constexpr std::uint64_t INFO_FEATURE_BITS = (std::uint64_t{1} << 22) - 1;

  void toggle(std::size_t feature) {
    z_key ^= z64->features[feature];
    z_sum ^= z16->features[feature];
  }
};

}  // namespace vorel
