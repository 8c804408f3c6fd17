#include <gtest/gtest.h>

#include <bit>
#include <random>
#include <vector>

#include "move_generator/move_generator.hpp"
#include "test_support.hpp"

namespace vorel {
namespace {

using testing::sq;
using testing::squares;

struct Delta {
  int file, rank;
};
constexpr Delta ROOK_RAYS[] = {{0, 1}, {0, -1}, {1, 0}, {-1, 0}};
constexpr Delta BISHOP_RAYS[] = {{1, 1}, {1, -1}, {-1, 1}, {-1, -1}};

// Walks each ray square by square in board coordinates, up to and including the first occupied
// square. With `inner` set it returns instead the squares that can block: each ray without
// its last square.
Bitboard walk(unsigned square, std::size_t kind, Bitboard occupied, bool inner = false) {
  Bitboard result = 0;
  for (const Delta d : kind == ROOK_KIND ? ROOK_RAYS : BISHOP_RAYS) {
    int f = int(square % 8) + d.file, r = int(square / 8) + d.rank;
    while (f >= 0 && f < 8 && r >= 0 && r < 8) {
      const unsigned s = unsigned(r * 8 + f);
      f += d.file;
      r += d.rank;
      const bool last = f < 0 || f > 7 || r < 0 || r > 7;
      if (!(inner && last)) result |= square_bb(s);
      if (has_square(occupied, s)) break;
    }
  }
  return result;
}

TEST(SlidingTables, EveryOccupancyMatchesARayWalk) {
  const MoveGenerator generator;
  std::mt19937_64 rng(11);
  std::size_t subsets = 0;
  for (unsigned square = 0; square < 64; ++square) {
    for (const std::size_t kind : {ROOK_KIND, BISHOP_KIND}) {
      const Bitboard mask = walk(square, kind, 0, true);
      const SlidingEntry& entry = SLIDING_ENTRIES[2 * square + kind];
      EXPECT_EQ(entry.shift, kind == ROOK_KIND ? ROOK_SHIFTS[square] : BISHOP_SHIFTS[square]);
      const std::size_t keys = std::size_t{1} << (64 - entry.shift);
      EXPECT_LE(entry.offset + keys, generator.sliding_moves.size());
      std::vector<Bitboard> by_key(keys, ~Bitboard{0});
      Bitboard subset = 0;
      do {
        ++subsets;
        const Bitboard expected = walk(square, kind, subset);
        // Pieces off the mask (and the square itself) must not change the answer.
        const Bitboard noise = rng() & ~mask;
        ASSERT_EQ(generator.sliding_attacks(kind, square, subset), expected)
            << square << " kind " << kind;
        ASSERT_EQ(generator.sliding_attacks(kind, square, subset | noise), expected) << square;
        const std::size_t key = sliding_key(entry, subset);
        ASSERT_LT(key, keys) << square;
        if (by_key[key] != ~Bitboard{0}) {
          ASSERT_EQ(by_key[key], expected) << "key clash on " << square;
        }
        by_key[key] = expected;
        subset = (subset - mask) & mask;
      } while (subset != 0);
    }
  }
  EXPECT_EQ(subsets, 107648u);
}

TEST(SlidingTables, HandCheckedAttackSets) {
  const MoveGenerator generator;
  const Bitboard a1_empty = generator.sliding_attacks(ROOK_KIND, sq("a1"), 0);
  EXPECT_EQ(a1_empty, squares({"b1", "c1", "d1", "e1", "f1", "g1", "h1", "a2", "a3", "a4", "a5",
                               "a6", "a7", "a8"}));
  EXPECT_EQ(std::popcount(a1_empty), 14);
  EXPECT_EQ(generator.sliding_attacks(ROOK_KIND, sq("a1"), squares({"a4"})),
            squares({"a2", "a3", "a4", "b1", "c1", "d1", "e1", "f1", "g1", "h1"}));
  EXPECT_EQ(generator.sliding_attacks(ROOK_KIND, sq("a1"), squares({"h1"})), a1_empty);
  EXPECT_EQ(generator.sliding_attacks(ROOK_KIND, sq("a1"), squares({"a1"})), a1_empty);
  const Bitboard d4_empty = generator.sliding_attacks(BISHOP_KIND, sq("d4"), 0);
  EXPECT_EQ(d4_empty, squares({"a1", "b2", "c3", "e5", "f6", "g7", "h8", "a7", "b6", "c5", "e3",
                               "f2", "g1"}));
  EXPECT_EQ(std::popcount(d4_empty), 13);
  EXPECT_EQ(generator.sliding_attacks(BISHOP_KIND, sq("d4"), squares({"c3", "f6", "b6"})),
            squares({"c3", "e5", "f6", "b6", "c5", "e3", "f2", "g1"}));
}

TEST(SlidingTables, FitInOneMebibyte) {
  const MoveGenerator generator;
  EXPECT_EQ(generator.sliding_moves.size(), SLIDING_TABLE_SIZE);
  EXPECT_LT(generator.sliding_moves.size() * sizeof(Bitboard), std::size_t{1} << 20);
}

}  // namespace
}  // namespace vorel
