#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "board/bitboard.hpp"
#include "chess_move/chess_move.hpp"
#include "zobrist/zobrist.hpp"

namespace vorel {

inline constexpr std::string_view DEFAULT_FEN =
    "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq -";

// The info word of a board.
// bit 0: side to move (1 = white); bits 1-4: castling rights K, Q, k, q;
// bits 5-12: en-passant file when white is to move (a black pawn just advanced two squares;
// target on rank 6); bits 13-20: the same when black is to move (target on rank 3);
// bits 21-63: always 0. At most one en-passant bit is set, in the group of the side to move.
inline constexpr std::uint64_t WHITE_TO_MOVE = 1;
inline constexpr std::uint64_t CASTLE_WHITE_KING = 1 << 1;
inline constexpr std::uint64_t CASTLE_WHITE_QUEEN = 1 << 2;
inline constexpr std::uint64_t CASTLE_BLACK_KING = 1 << 3;
inline constexpr std::uint64_t CASTLE_BLACK_QUEEN = 1 << 4;
inline constexpr std::uint64_t CASTLING_MASK = 0x1E;
inline constexpr std::uint64_t EN_PASSANT_MASK = 0x1FFFE0;
inline constexpr unsigned EN_PASSANT_WHITE = 5;   // first bit of the white-to-move group
inline constexpr unsigned EN_PASSANT_BLACK = 13;  // first bit of the black-to-move group

// Undo record of one move.
struct MoveRecord {
  std::uint64_t info;   // the whole info word before the move
  std::uint16_t moved;  // bit i set: bitboard i was saved on pieces_stacks[i] for this move
};

// The longest FEN text to_fen writes: 64 placement characters and 7 slashes at most, then
// " w KQkq e3".
inline constexpr std::size_t MAX_FEN = 71 + 10;

// The 12 x 64 placement flags: entry k * 64 + i is set when piece index k stands on square i.
using Planes = std::array<bool, PIECE_NB * SQUARE_NB>;

// A chess position with its undo history and incremental hash.
// Invariant: pieces_stacks[i] holds as many values as move_stack has records with bit i of
// `moved` set.
class Board {
 public:
  std::array<std::vector<Bitboard>, PIECE_NB> pieces_stacks;
  std::vector<MoveRecord> move_stack;
  ZobristBoardComponent zobrist;
  Pieces pieces;
  std::uint64_t info;

  Board(const Pieces& placement, std::uint64_t state);

  // Reads a position from FEN: placement, side to move, castling rights, en-passant file;
  // further fields are ignored. Returns the board or an error message; an empty text, a missing
  // field and a bad placement character are internal faults.
  static std::expected<Board, std::string> from_fen(std::string_view fen);

  // Writes the four-field FEN text into out (MAX_FEN bytes) and returns its length.
  std::size_t write_fen(char* out) const;
  std::string to_fen() const;

  // Returns 1 when white is to move, 0 when black is.
  std::uint64_t to_move() const { return info & WHITE_TO_MOVE; }

  // Returns the first piece index in [first, last) whose bitboard holds `square`, or nothing
  // when `square` is not in `blockers`.
  std::optional<std::size_t> get_piece(std::uint16_t square, std::size_t first, std::size_t last,
                                       Bitboard blockers) const;

  // Plays a move without any legality check; the hash follows every square and info bit that
  // changes. An empty from-square, or a pawn reaching the last rank without a promotion code,
  // is an internal fault raised before anything changes.
  void push_move(ChessMove move);

  // Takes back the last move played, restoring pieces, info and hash exactly.
  // With no move to take back it is an internal fault.
  void pop_move();

  // Turns the position into its colour-mirrored twin and drops the history.
  void reflect();

  Bitboard occupancy() const { return side_mask(pieces, WHITE_OFFSET) | side_mask(pieces, BLACK_OFFSET); }
};

// Returns the 12 bitboards of the placement (the first field) of a FEN text.
// Ranks are not checked for length: pieces land on (square counter mod 64).
Pieces pieces_from_fen(std::string_view fen);

// Returns fen split at every "/" with the order of the pieces reversed.
std::string reverse_fen(std::string_view fen);

// Returns the placement flags of the 12 bitboards.
Planes planes(const Pieces& pieces);

}  // namespace vorel
