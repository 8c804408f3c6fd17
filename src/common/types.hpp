#pragma once

// The vocabulary of the chess core: colours, squares, files and ranks, piece indices and bitboards.

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace vorel {

// A side. WHITE is 1, as in the side-to-move bit of a board's info word.
enum Color : std::uint8_t { BLACK, WHITE };

constexpr Color operator~(Color color) { return Color(color ^ 1); }

// A square: a1 = 0, b1 = 1, ..., h1 = 7, a2 = 8, ..., h8 = 63.
using Square = unsigned;
inline constexpr std::size_t SQUARE_NB = 64;

enum File : unsigned { FILE_A, FILE_B, FILE_C, FILE_D, FILE_E, FILE_F, FILE_G, FILE_H };
enum Rank : unsigned { RANK_1, RANK_2, RANK_3, RANK_4, RANK_5, RANK_6, RANK_7, RANK_8 };

constexpr unsigned file_of(Square square) { return square & 7; }
constexpr unsigned rank_of(Square square) { return square >> 3; }
constexpr Square make_square(unsigned file, unsigned rank) { return rank * 8 + file; }
// Returns a rank as the side sees it: rank 1 is its own back rank.
constexpr unsigned relative_rank(Color color, unsigned rank) {
  return color == WHITE ? rank : RANK_8 - rank;
}
// Returns the square with its rank mirrored (a1 and a8 trade places).
constexpr Square flip_rank(Square square) { return square ^ 56; }

// Piece indices: the white pieces 0..5, the black piece of the same type 6 higher.
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
inline constexpr std::size_t PIECE_NB = 12;

enum PieceType : std::size_t { PAWN, KNIGHT, BISHOP, ROOK, QUEEN, KING };
inline constexpr std::size_t PIECE_TYPE_NB = 6;

// The piece letters by piece index, as FEN writes them.
inline constexpr std::string_view PIECE_LETTERS = "PNBRQKpnbrqk";

// Returns the first piece index of a side: its pawn; its other pieces follow in type order.
constexpr std::size_t piece_offset(Color color) { return color == WHITE ? 0 : PIECE_TYPE_NB; }
constexpr std::size_t make_piece(Color color, std::size_t type) {
  return piece_offset(color) + type;
}
constexpr std::size_t type_of(std::size_t piece) { return piece % PIECE_TYPE_NB; }
constexpr Color color_of(std::size_t piece) { return piece < PIECE_TYPE_NB ? WHITE : BLACK; }

// A set of squares: bit n is square n.
using Bitboard = std::uint64_t;

// The twelve piece bitboards of a position, by piece index.
using Pieces = std::array<Bitboard, PIECE_NB>;

constexpr Bitboard square_bb(Square square) { return Bitboard{1} << square; }
constexpr bool has_square(Bitboard b, Square square) { return (b >> square) & 1; }
constexpr Bitboard file_bb(unsigned file) { return Bitboard{0x0101010101010101} << file; }
constexpr Bitboard rank_bb(unsigned rank) { return Bitboard{0xFF} << (8 * rank); }

// Returns the lowest square of a non-empty bitboard and removes it.
constexpr Square pop_lsb(Bitboard& b) {
  const auto square = static_cast<Square>(std::countr_zero(b));
  b &= b - 1;
  return square;
}

// Returns the union of the six bitboards of one side.
constexpr Bitboard side_mask(const Pieces& pieces, Color color) {
  const std::size_t offset = piece_offset(color);
  return pieces[offset] | pieces[offset + 1] | pieces[offset + 2] | pieces[offset + 3] |
         pieces[offset + 4] | pieces[offset + 5];
}

// Returns the union of all twelve bitboards: every occupied square.
constexpr Bitboard occupancy(const Pieces& pieces) {
  return side_mask(pieces, WHITE) | side_mask(pieces, BLACK);
}

}  // namespace vorel
