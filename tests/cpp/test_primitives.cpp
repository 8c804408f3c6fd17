#include <gtest/gtest.h>

#include <bit>
#include <cstdlib>
#include <optional>
#include <random>
#include <vector>

#include "move_generator/magics.hpp"
#include "move_generator/primitives.hpp"
#include "test_support.hpp"

namespace vorel {
namespace {

using testing::sq;
using testing::squares;

// The squares (file + df, rank + dr) for every listed offset that stays on the board.
Bitboard offsets_from(unsigned square, std::initializer_list<std::pair<int, int>> offsets) {
  Bitboard b = 0;
  for (const auto& [df, dr] : offsets) {
    const int f = int(square % 8) + df, r = int(square / 8) + dr;
    if (f >= 0 && f < 8 && r >= 0 && r < 8) b |= square_bb(unsigned(r * 8 + f));
  }
  return b;
}

Bitboard steps_of(unsigned square, const auto& directions, std::uint16_t threshold) {
  Bitboard b = 0;
  for (const std::int16_t step : directions) {
    if (const auto to = validate_move(static_cast<std::uint16_t>(square), step, threshold))
      b |= square_bb(*to);
  }
  return b;
}

TEST(ValidateMove, StopsAtEdgesAndAcrossWraps) {
  struct Case {
    std::uint16_t square;
    std::int16_t jump;
    std::uint16_t threshold;
    std::optional<std::uint16_t> to;
  };
  const Case cases[] = {
      {sq("h1"), 1, 1, std::nullopt},   // would wrap to a2
      {sq("a1"), -1, 1, std::nullopt},  // 16-bit wrap gives 65535
      {sq("a2"), -1, 1, std::nullopt},  // would wrap to h1
      {sq("a8"), 7, 1, std::nullopt},   // off the top
      {sq("h8"), 8, 1, std::nullopt},   {sq("a1"), -8, 1, std::nullopt},
      {sq("g1"), 10, 2, std::nullopt},   // knight g1 -> "a3" wraps
      {sq("b1"), -10, 2, std::nullopt},  // below the board
      {sq("a1"), 9, 1, sq("b2")},       {sq("h2"), 7, 1, sq("g3")},
      {sq("b1"), 15, 2, sq("a3")},      {sq("g1"), 6, 2, sq("e2")},
      {sq("h8"), -9, 1, sq("g7")},      {sq("d4"), 0, 0, sq("d4")},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(validate_move(c.square, c.jump, c.threshold), c.to) << c.square << " + " << c.jump;
  }
}

std::vector<unsigned> listed(Bitboard b) {
  std::vector<unsigned> result;
  for (const unsigned s : get_bits(b)) result.push_back(s);
  return result;
}

TEST(GetBits, ListsSquaresLowestFirst) {
  EXPECT_EQ(listed(0), std::vector<unsigned>{});
  EXPECT_EQ(listed(0x8000000000000081ULL), (std::vector<unsigned>{0, 7, 63}));
  std::mt19937_64 rng(7);
  for (int i = 0; i < 200; ++i) {
    const Bitboard b = rng() & rng();
    std::vector<unsigned> expected;
    for (unsigned s = 0; s < 64; ++s)
      if (has_square(b, s)) expected.push_back(s);
    EXPECT_EQ(listed(b), expected);
  }
}

TEST(CrossMasks, HoldTheBlockingSquaresOfEachSquare) {
  EXPECT_EQ(get_rook_cross(sq("a1")),
            squares({"a2", "a3", "a4", "a5", "a6", "a7", "b1", "c1", "d1", "e1", "f1", "g1"}));
  EXPECT_EQ(get_rook_cross(sq("d4")),
            squares({"d2", "d3", "d5", "d6", "d7", "b4", "c4", "e4", "f4", "g4"}));
  EXPECT_EQ(get_bishop_cross(sq("a1")), squares({"b2", "c3", "d4", "e5", "f6", "g7"}));
  EXPECT_EQ(get_bishop_cross(sq("d4")),
            squares({"b2", "c3", "e5", "f6", "g7", "b6", "c5", "e3", "f2"}));
  for (unsigned s = 0; s < 64; ++s) {
    const int f = int(s % 8), r = int(s / 8);
    Bitboard rook = 0, bishop = 0;  // by coordinates: same line, not the square, not the far edge
    for (unsigned t = 0; t < 64; ++t) {
      const int tf = int(t % 8), tr = int(t / 8);
      if (t == s) continue;
      if ((tf == f && tr > 0 && tr < 7) || (tr == r && tf > 0 && tf < 7)) rook |= square_bb(t);
      if (std::abs(tf - f) == std::abs(tr - r) && tf > 0 && tf < 7 && tr > 0 && tr < 7)
        bishop |= square_bb(t);
    }
    EXPECT_EQ(get_rook_cross(s), rook) << s;
    EXPECT_EQ(get_bishop_cross(s), bishop) << s;
    EXPECT_EQ(std::popcount(get_rook_cross(s)), 64 - ROOK_SHIFTS[s]) << s;
    EXPECT_EQ(std::popcount(get_bishop_cross(s)), 64 - BISHOP_SHIFTS[s]) << s;
    EXPECT_FALSE(has_square(get_rook_cross(s) | get_bishop_cross(s), s)) << s;
  }
}

TEST(KingCircle, HoldsTheNeighbours) {
  EXPECT_EQ(get_king_circle(sq("a1")), squares({"b1", "a2", "b2"}));
  EXPECT_EQ(get_king_circle(sq("d4")), squares({"c3", "d3", "e3", "c4", "e4", "c5", "d5", "e5"}));
  EXPECT_EQ(get_king_circle(sq("h8")), squares({"g8", "g7", "h7"}));
  EXPECT_EQ(get_king_circle(sq("h4")), squares({"g3", "h3", "g4", "g5", "h5"}));
}

TEST(StepAttackMasks, MatchGeometryAndStepLoops) {
  for (unsigned s = 0; s < 64; ++s) {
    const Bitboard king =
        offsets_from(s, {{-1, -1}, {0, -1}, {1, -1}, {-1, 0}, {1, 0}, {-1, 1}, {0, 1}, {1, 1}});
    const Bitboard knight =
        offsets_from(s, {{1, 2}, {2, 1}, {2, -1}, {1, -2}, {-1, -2}, {-2, -1}, {-2, 1}, {-1, 2}});
    const Bitboard white_pawn = offsets_from(s, {{-1, 1}, {1, 1}});
    const Bitboard black_pawn = offsets_from(s, {{-1, -1}, {1, -1}});
    EXPECT_EQ(KING_ATTACKS[s], king) << s;
    EXPECT_EQ(get_king_circle(s), king) << s;
    EXPECT_EQ(steps_of(s, KING_DIRECTIONS, 1), king) << s;
    EXPECT_EQ(KNIGHT_ATTACKS[s], knight) << s;
    EXPECT_EQ(steps_of(s, KNIGHT_DIRECTIONS, 2), knight) << s;
    EXPECT_EQ(PAWN_ATTACKS[1][s], white_pawn) << s;
    EXPECT_EQ(PAWN_ATTACKS[0][s], black_pawn) << s;
    EXPECT_EQ(steps_of(s, std::array<std::int16_t, 2>{7, 9}, 1), white_pawn) << s;
  }
}

}  // namespace
}  // namespace vorel
