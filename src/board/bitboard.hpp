#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>

namespace vorel {

// A set of squares: bit n is square n (a1 = 0, b1 = 1, ..., h1 = 7, a2 = 8, ..., h8 = 63).
using Bitboard = std::uint64_t;

inline constexpr std::size_t SQUARE_NB = 64;
inline constexpr std::size_t PIECE_NB = 12;

// Piece indices: white pieces 0..5, the black piece of the same kind 6 higher.
enum Piece : std::size_t {
  WHITE_PAWN,
  WHITE_KNIGHT,
  WHITE_BISHOP,
  WHITE_ROOK,
  WHITE_QUEEN,
  WHITE_KING,
  BLACK_PAWN,
  BLACK_KNIGHT,
  BLACK_BISHOP,
  BLACK_ROOK,
  BLACK_QUEEN,
  BLACK_KING,
};
inline constexpr std::size_t PAWN = 0, KNIGHT = 1, BISHOP = 2, ROOK = 3, QUEEN = 4, KING = 5;
inline constexpr std::size_t WHITE_OFFSET = 0, BLACK_OFFSET = 6;
// The piece-index offsets of the side to move (SELF) and of its opponent (OPP), for the side fixed
// at compile time (White: white to move).
template <bool White>
inline constexpr std::size_t SELF = White ? WHITE_OFFSET : BLACK_OFFSET;
template <bool White>
inline constexpr std::size_t OPP = White ? BLACK_OFFSET : WHITE_OFFSET;

// The squares of file a, of file h and of rank 1.
inline constexpr Bitboard FILE_A_SQUARES = 0x0101010101010101ULL;
inline constexpr Bitboard FILE_H_SQUARES = FILE_A_SQUARES << 7;
inline constexpr Bitboard RANK_1_SQUARES = 0xFFULL;

// Returns the type of a piece index (PAWN ... KING).
constexpr std::size_t piece_type_of(std::size_t piece) { return piece % BLACK_OFFSET; }
// Returns the offset of the side a piece index belongs to.
constexpr std::size_t side_of(std::size_t piece) {
  return piece < BLACK_OFFSET ? WHITE_OFFSET : BLACK_OFFSET;
}

// The twelve piece bitboards of a position, by piece index.
using Pieces = std::array<Bitboard, PIECE_NB>;

constexpr Bitboard square_bb(unsigned square) { return Bitboard{1} << square; }
constexpr bool has_square(Bitboard b, unsigned square) { return (b >> square) & 1; }

// Returns the lowest square of a non-empty bitboard and removes it.
constexpr unsigned pop_lsb(Bitboard& b) {
  const unsigned square = static_cast<unsigned>(std::countr_zero(b));
  b &= b - 1;
  return square;
}

// Returns the union of the six bitboards of the side starting at `offset`.
constexpr Bitboard side_mask(const Pieces& pieces, std::size_t offset) {
  return pieces[offset] | pieces[offset + 1] | pieces[offset + 2] | pieces[offset + 3] |
         pieces[offset + 4] | pieces[offset + 5];
}

// Returns the union of all twelve bitboards: every occupied square.
constexpr Bitboard occupancy(const Pieces& pieces) {
  return side_mask(pieces, WHITE_OFFSET) | side_mask(pieces, BLACK_OFFSET);
}

}  // namespace vorel
