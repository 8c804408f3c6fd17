#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "common/types.hpp"

namespace vorel {

// Square-index steps, used in exactly this order.
inline constexpr std::array<std::int16_t, 4> ROOK_DIRECTIONS = {8, -8, 1, -1};
inline constexpr std::array<std::int16_t, 4> BISHOP_DIRECTIONS = {9, -9, 7, -7};
inline constexpr std::array<std::int16_t, 8> KING_DIRECTIONS = {-8, 8, 1, -1, 9, 7, -9, -7};
inline constexpr std::array<std::int16_t, 8> KNIGHT_DIRECTIONS = {-17, -15, -6, 10, 17, 15, 6, -10};

// Returns the square one step of `jump` away from `square`, or nothing when the step leaves the
// board or changes file by more than `threshold` (1 for king, pawn and ray steps, 2 for knights).
constexpr std::optional<std::uint16_t> validate_move(std::uint16_t square, std::int16_t jump,
                                                     std::uint16_t threshold) {
  const auto to = static_cast<std::uint16_t>(square + jump);
  if (to > 63) return std::nullopt;
  const int diff = int(to % 8) - int(square % 8);
  if ((diff < 0 ? -diff : diff) > threshold) return std::nullopt;
  return to;
}

// The squares of a bitboard, lowest first: `for (unsigned s : get_bits(b))`.
class get_bits {
 public:
  class iterator {
   public:
    constexpr explicit iterator(Bitboard bits) : bits_(bits) {}
    constexpr unsigned operator*() const { return static_cast<unsigned>(std::countr_zero(bits_)); }
    constexpr iterator& operator++() {
      bits_ &= bits_ - 1;
      return *this;
    }
    constexpr bool operator!=(const iterator& other) const { return bits_ != other.bits_; }

   private:
    Bitboard bits_;
  };

  constexpr explicit get_bits(Bitboard n) : bits_(n) {}
  constexpr iterator begin() const { return iterator(bits_); }
  constexpr iterator end() const { return iterator(0); }

 private:
  Bitboard bits_;
};

// Returns the relevant-occupancy mask of a rook on `square`: its file on ranks 2-7 and its rank
// on files b-g, without the square itself.
constexpr Bitboard get_rook_cross(unsigned square) {
  const Bitboard lines = (0x0001010101010100ULL << (square % 8)) | (0x7EULL << (8 * (square / 8)));
  return lines & ~square_bb(square);
}

// Returns the relevant-occupancy mask of a bishop on `square`: its diagonals without the edge
// squares and without the square itself.
constexpr Bitboard get_bishop_cross(unsigned square) {
  constexpr Bitboard EDGES = 0xFF818181818181FFULL;
  Bitboard mask = 0;
  for (const std::int16_t step : {9, 7, -9, -7}) {
    auto next = validate_move(static_cast<std::uint16_t>(square), step, 1);
    while (next && !has_square(EDGES, *next)) {
      mask |= square_bb(*next);
      next = validate_move(*next, step, 1);
    }
  }
  return mask;
}

// Returns the squares a slider on `square` attacks along the four directions: each ray runs up
// to and including its first square in `blocker_bitboard`.
constexpr Bitboard get_moves_from_blockers(unsigned square, Bitboard blocker_bitboard,
                                           const std::array<std::int16_t, 4>& directions) {
  Bitboard attacks = 0;
  for (const std::int16_t direction : directions) {
    auto next = validate_move(static_cast<std::uint16_t>(square), direction, 1);
    while (next) {
      attacks |= square_bb(*next);
      if (has_square(blocker_bitboard, *next)) break;
      next = validate_move(*next, direction, 1);
    }
  }
  return attacks;
}

// The targets of one step from a square in direction-table order.
struct StepTargets {
  std::array<std::uint8_t, 8> squares;
  std::uint8_t count;
};

// Returns, per square, the targets of each direction of `directions` that stays on the board.
constexpr std::array<StepTargets, SQUARE_NB> step_targets(
    const std::array<std::int16_t, 8>& directions, std::uint16_t threshold) {
  std::array<StepTargets, SQUARE_NB> table{};
  for (std::uint16_t square = 0; square < SQUARE_NB; ++square) {
    StepTargets& targets = table[square];
    for (const std::int16_t step : directions) {
      if (const auto to = validate_move(square, step, threshold)) {
        targets.squares[targets.count++] = static_cast<std::uint8_t>(*to);
      }
    }
  }
  return table;
}

inline constexpr auto KING_TARGETS = step_targets(KING_DIRECTIONS, 1);
inline constexpr auto KNIGHT_TARGETS = step_targets(KNIGHT_DIRECTIONS, 2);

// Returns, per square, the union of the step targets: the squares a piece there attacks.
constexpr std::array<Bitboard, SQUARE_NB> attack_masks(
    const std::array<StepTargets, SQUARE_NB>& steps) {
  std::array<Bitboard, SQUARE_NB> masks{};
  for (std::size_t square = 0; square < SQUARE_NB; ++square) {
    for (std::size_t i = 0; i < steps[square].count; ++i)
      masks[square] |= square_bb(steps[square].squares[i]);
  }
  return masks;
}

inline constexpr auto KNIGHT_ATTACKS = attack_masks(KNIGHT_TARGETS);
inline constexpr auto KING_ATTACKS = attack_masks(KING_TARGETS);

// Returns the up to eight squares around `square`.
constexpr Bitboard get_king_circle(unsigned square) { return KING_ATTACKS[square]; }

// The rules of pawn moves for the side Us, set-wise: each takes a set of pawns of Us and returns
// the set of squares they reach.

// One step forward, toward the opponent's side; squares beyond the last rank drop off the board.
template <Color Us>
constexpr Bitboard pawn_step(Bitboard pawns) {
  return Us == WHITE ? pawns << 8 : pawns >> 8;
}

// The squares the pawns reach by one step forward onto a square not in `occupied`.
template <Color Us>
constexpr Bitboard pawn_pushes(Bitboard pawns, Bitboard occupied) {
  return pawn_step<Us>(pawns) & ~occupied;
}

// The squares the pawns on their starting rank reach by two steps forward, over and onto squares
// not in `occupied`.
template <Color Us>
constexpr Bitboard pawn_double_pushes(Bitboard pawns, Bitboard occupied) {
  const Bitboard starting = pawns & rank_bb(relative_rank(Us, RANK_2));
  return pawn_pushes<Us>(pawn_pushes<Us>(starting, occupied), occupied);
}

// The diagonal squares forward toward file a (west) and toward file h (east): what the pawns
// attack, and where they capture. Never wrapping across an edge.
template <Color Us>
constexpr Bitboard pawn_attacks_west(Bitboard pawns) {
  return pawn_step<Us>(pawns & ~file_bb(FILE_A)) >> 1;
}
template <Color Us>
constexpr Bitboard pawn_attacks_east(Bitboard pawns) {
  return pawn_step<Us>(pawns & ~file_bb(FILE_H)) << 1;
}

// The squares where a pawn of Us promotes: the opponent's back rank.
template <Color Us>
inline constexpr Bitboard PROMOTION_SQUARES = rank_bb(relative_rank(Us, RANK_8));

// PAWN_ATTACKS[color][s]: the squares a pawn of that colour on s attacks.
inline constexpr auto PAWN_ATTACKS = [] {
  std::array<std::array<Bitboard, SQUARE_NB>, 2> table{};
  for (Square square = 0; square < SQUARE_NB; ++square) {
    const Bitboard pawn = square_bb(square);
    table[WHITE][square] = pawn_attacks_west<WHITE>(pawn) | pawn_attacks_east<WHITE>(pawn);
    table[BLACK][square] = pawn_attacks_west<BLACK>(pawn) | pawn_attacks_east<BLACK>(pawn);
  }
  return table;
}();

}  // namespace vorel
