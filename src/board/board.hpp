#pragma once

#include <array>
#include <bit>
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

inline constexpr std::uint8_t NO_PIECE = PIECE_NB;

// What a move does to the bitboards, decided from the position before anything changes.
struct MoveEffect {
  std::uint8_t mover;     // the piece index on the from-square (the lowest, if several)
  std::uint8_t captured;  // the opposite-colour piece taken, or NO_PIECE
  std::uint8_t rook;      // the rook of a castling, or NO_PIECE
  std::uint8_t promoted;  // the piece a pawn becomes, or NO_PIECE
  bool en_passant;        // captured is the pawn behind the target square
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
                                       Bitboard blockers) const {
    if (!has_square(blockers, square)) return std::nullopt;
    for (std::size_t piece = first; piece < last; ++piece) {
      if (has_square(pieces[piece], square)) return piece;
    }
    return std::nullopt;
  }

  // Returns value with the bit of `source` cleared and ORed into the bit of `destination`.
  static constexpr Bitboard move_bit(Bitboard value, unsigned source, unsigned destination) {
    return (value & ~square_bb(source)) | (((value >> source) & 1) << destination);
  }
  static constexpr Bitboard delete_bit(Bitboard value, unsigned index) {
    return value & ~square_bb(index);
  }

  // Returns what `move` does on this board: the piece on the from-square moves; an opposite-colour
  // piece on the to-square is captured; a pawn changing file onto a square without one takes en
  // passant; a king moving from file e to file c or g castles; a pawn reaching rank 1 or 8
  // promotes to the piece of the move's promotion code. An empty from-square, or a pawn reaching
  // the last rank without a promotion code, is an internal fault. `white` and `black` are the
  // unions of the two sides' bitboards.
  MoveEffect effect_of(ChessMove move, Bitboard white, Bitboard black) const;
  MoveEffect effect_of(ChessMove move) const {
    return effect_of(move, side_mask(pieces, WHITE_OFFSET), side_mask(pieces, BLACK_OFFSET));
  }

  // Changes the bitboards as the effect says; nothing else (info, stacks, hash) is touched.
  void move_pieces(ChessMove move, const MoveEffect& effect);

  // Plays a move without any legality check; the hash follows every square and info bit that
  // changes. An empty from-square, or a pawn reaching the last rank without a promotion code,
  // is an internal fault raised before anything changes.
  void push_move(ChessMove move);

  // Takes back the last move played, restoring pieces, info and hash exactly.
  // With no move to take back it is an internal fault.
  void pop_move();

  // Turns the position into its colour-mirrored twin and drops the history.
  void reflect();
};

// Raise the faults of effect_of; kept out of line so that the common path stays small.
[[noreturn, gnu::cold]] void throw_empty_square(std::uint16_t from);
[[noreturn, gnu::cold]] void throw_missing_promotion(std::uint16_t from, std::uint16_t to);

inline MoveEffect Board::effect_of(ChessMove move, Bitboard white, Bitboard black) const {
  const std::uint16_t from = move.from();
  const std::uint16_t to = move.to();
  // The lowest index holding the square is a white one whenever a white piece stands there.
  std::optional<std::size_t> found = get_piece(from, WHITE_OFFSET, BLACK_OFFSET, white);
  if (!found) found = get_piece(from, BLACK_OFFSET, PIECE_NB, black);
  if (!found) [[unlikely]]
    throw_empty_square(from);
  const auto mover = static_cast<std::uint8_t>(*found);
  const bool pawn = mover % 6 == PAWN;

  MoveEffect effect{mover, NO_PIECE, NO_PIECE, NO_PIECE, false};
  if (pawn && (rank(to) == 0 || rank(to) == 7)) {
    const std::uint16_t code = move.special();
    if (code < PROMOTE_KNIGHT || code > PROMOTE_QUEEN) [[unlikely]]
      throw_missing_promotion(from, to);
    effect.promoted = static_cast<std::uint8_t>(code + mover - 3);
  }
  // Only a piece of the opposite colour is captured; an own piece on `to` stays.
  const std::optional<std::size_t> captured =
      mover < BLACK_OFFSET ? get_piece(to, BLACK_OFFSET, PIECE_NB, black)
                           : get_piece(to, WHITE_OFFSET, BLACK_OFFSET, white);
  if (captured) {
    effect.captured = static_cast<std::uint8_t>(*captured);
  } else if (pawn && file(from) != file(to)) {
    effect.en_passant = true;
    effect.captured = static_cast<std::uint8_t>(BLACK_PAWN - mover);
  }
  if (mover % 6 == KING && file(from) == 4 && to % 4 == 2)
    effect.rook = static_cast<std::uint8_t>(mover - 2);
  return effect;
}

inline void Board::move_pieces(ChessMove move, const MoveEffect& effect) {
  const unsigned from = move.from();
  const unsigned to = move.to();
  const bool white_to_move = info & WHITE_TO_MOVE;
  pieces[effect.mover] = move_bit(pieces[effect.mover], from, to);
  if (effect.en_passant) {
    // The pawn taken stands behind the target as seen from the side to move; behind a target
    // on the edge rank there is no square and nothing is taken.
    const std::size_t victim = white_to_move ? BLACK_PAWN : WHITE_PAWN;
    const int victim_square = white_to_move ? int(to) - 8 : int(to) + 8;
    if (victim_square >= 0 && victim_square < 64) {
      pieces[victim] = delete_bit(pieces[victim], static_cast<unsigned>(victim_square));
    }
  } else if (effect.captured != NO_PIECE) {
    pieces[effect.captured] = delete_bit(pieces[effect.captured], to);
  }
  if (effect.rook != NO_PIECE) {
    // The rook of the home rank of the side to move goes to the far side of the king.
    const unsigned home = white_to_move ? 0 : 56;
    pieces[effect.rook] = file(to) == 6 ? move_bit(pieces[effect.rook], home + 7, home + 5)
                                        : move_bit(pieces[effect.rook], home, home + 3);
  }
  if (effect.promoted != NO_PIECE) {
    pieces[effect.mover] = delete_bit(pieces[effect.mover], to);
    pieces[effect.promoted] |= square_bb(to);
  }
}

// Returns the 12 bitboards of the placement (the first field) of a FEN text.
// Ranks are not checked for length: pieces land on (square counter mod 64).
Pieces pieces_from_fen(std::string_view fen);

// Returns fen split at every "/" with the order of the pieces reversed.
std::string reverse_fen(std::string_view fen);

// Returns the placement flags of the 12 bitboards.
Planes planes(const Pieces& pieces);

}  // namespace vorel
