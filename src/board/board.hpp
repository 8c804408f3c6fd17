#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "chess_move/chess_move.hpp"
#include "common/types.hpp"
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
inline constexpr std::uint64_t WHITE_CASTLING = CASTLE_WHITE_KING | CASTLE_WHITE_QUEEN;
inline constexpr std::uint64_t BLACK_CASTLING = CASTLE_BLACK_KING | CASTLE_BLACK_QUEEN;
inline constexpr std::uint64_t CASTLING_MASK = WHITE_CASTLING | BLACK_CASTLING;
inline constexpr unsigned EN_PASSANT_WHITE = 5;          // first bit of the white-to-move group
inline constexpr unsigned EN_PASSANT_BLACK = 13;         // first bit of the black-to-move group
inline constexpr std::uint64_t EN_PASSANT_FILES = 0xFF;  // one group, file a in its lowest bit
inline constexpr std::uint64_t EN_PASSANT_MASK =
    EN_PASSANT_FILES << EN_PASSANT_WHITE | EN_PASSANT_FILES << EN_PASSANT_BLACK;
inline constexpr std::uint64_t INFO_BITS = (std::uint64_t{1} << 21) - 1;  // bits 0-20

// The castling rights of one side, king side and queen side.
constexpr std::uint64_t king_side_right(Color color) {
  return color == WHITE ? CASTLE_WHITE_KING : CASTLE_BLACK_KING;
}
constexpr std::uint64_t queen_side_right(Color color) {
  return color == WHITE ? CASTLE_WHITE_QUEEN : CASTLE_BLACK_QUEEN;
}
// Returns the first bit of the en-passant group read when `color` is to move.
constexpr unsigned en_passant_group(Color color) {
  return color == WHITE ? EN_PASSANT_WHITE : EN_PASSANT_BLACK;
}

// Undo record of one move.
struct MoveRecord {
  std::uint64_t info;   // the whole info word before the move
  std::uint16_t moved;  // bit i set: bitboard i was saved on pieces_stacks[i] for this move
};

inline constexpr std::uint8_t NO_PIECE = PIECE_NB;

// What a move does to the bitboards, decided from the position before anything changes.
struct MoveEffect {
  std::uint8_t mover;           // the piece index on the from-square (the lowest, if several)
  std::uint8_t captured;        // the piece taken, or NO_PIECE
  std::uint8_t capture_square;  // where `captured` stands: the to-square, or behind it (en passant)
  std::uint8_t rook;            // the rook of a castling, or NO_PIECE
  std::uint8_t promoted;        // the piece a pawn becomes, or NO_PIECE
};

// Returns the piece a pawn of `color` becomes under a promotion code.
constexpr std::size_t promotion_piece(std::uint16_t code, Color color) {
  return make_piece(color, KNIGHT + (code - PROMOTE_KNIGHT));
}

// True for the squares of a king's castling move: from file e to file c or g.
constexpr bool castling_files(Square from, Square to) {
  return file_of(from) == FILE_E && (file_of(to) == FILE_C || file_of(to) == FILE_G);
}

// The longest FEN text to_fen writes: 64 placement characters and 7 slashes at most, then
// " w KQkq e3".
inline constexpr std::size_t MAX_FEN = 71 + 10;

// The 12 x 64 placement flags: entry k * 64 + i is set when piece index k stands on square i.
using Planes = std::array<bool, PIECE_NB * SQUARE_NB>;

// Makes sure one more element fits on the stack without reallocating, so that the push that
// follows cannot fail. Throws std::bad_alloc, leaving the stack as it was, if memory runs out.
template <class T>
void make_room(std::vector<T>& stack) {
  if (stack.size() == stack.capacity()) stack.reserve(std::max<std::size_t>(8, 2 * stack.size()));
}

// Raise the faults of effect_of; kept out of line so that the common path stays small.
[[noreturn, gnu::cold]] void throw_empty_square(std::uint16_t from);
[[noreturn, gnu::cold]] void throw_missing_promotion(std::uint16_t from, std::uint16_t to);

// The placement and game-state word of a position, without history or hash, and the rules of
// what a move does to them.
struct Position {
  Pieces pieces;
  std::uint64_t info;

  constexpr Color side_to_move() const { return Color(info & WHITE_TO_MOVE); }

  // Writes the four-field FEN text into out (MAX_FEN bytes) and returns its length.
  std::size_t write_fen(char* out) const;
  std::string to_fen() const;

  // Returns the first piece index in [first, last) whose bitboard holds `square`, or nothing
  // when `square` is not in `blockers`, the occupancy to look in (the callers pass the union of
  // the side whose indices they search).
  std::optional<std::size_t> get_piece(Square square, std::size_t first, std::size_t last,
                                       Bitboard blockers) const {
    if (!has_square(blockers, square)) return std::nullopt;
    // The bitboards that hold the square, as bits, without a branch per bitboard.
    unsigned holders = 0;
    for (std::size_t piece = first; piece < last; ++piece)
      holders |= static_cast<unsigned>((pieces[piece] >> square) & 1) << (piece - first);
    if (holders == 0) return std::nullopt;
    return first + static_cast<std::size_t>(std::countr_zero(holders));
  }

  // Returns value with the bit of `source` cleared and ORed into the bit of `destination`.
  static constexpr Bitboard move_bit(Bitboard value, unsigned source, unsigned destination) {
    return (value & ~square_bb(source)) | (((value >> source) & 1) << destination);
  }
  static constexpr Bitboard delete_bit(Bitboard value, unsigned index) {
    return value & ~square_bb(index);
  }

  // Returns what `move` does on this position: the piece on the from-square moves; an
  // opposite-colour piece on the to-square is captured; a pawn changing file onto a square
  // without one takes en passant the pawn of the side not to move behind the to-square, as seen
  // from the side to move; a king moving from file e to file c or g castles; a pawn reaching
  // rank 1 or 8 promotes to the piece of the move's promotion code. An empty from-square, or a
  // pawn reaching the last rank without a promotion code, is an internal fault. `white` and
  // `black` are the unions of the two sides' bitboards.
  MoveEffect effect_of(ChessMove move, Bitboard white, Bitboard black) const;
  MoveEffect effect_of(ChessMove move) const {
    return effect_of(move, side_mask(pieces, WHITE), side_mask(pieces, BLACK));
  }

  // Changes the bitboards as the effect says; nothing else is touched.
  void move_pieces(ChessMove move, const MoveEffect& effect);

  // Returns the info word after the move: the side to move changes; a double step leaves an
  // en-passant file for the side that moves next; a king move, a rook leaving its corner and a
  // rook taken in its corner drop castling rights.
  std::uint64_t info_after(ChessMove move, const MoveEffect& effect) const;

  // Plays a move on the bitboards and the info word, without any legality check, and returns
  // what it did. The faults are those of effect_of, raised before anything changes.
  MoveEffect play(ChessMove move) {
    const MoveEffect effect = effect_of(move);
    const std::uint64_t next = info_after(move, effect);
    move_pieces(move, effect);
    info = next;
    return effect;
  }
};

// Why a FEN text does not read. `fault` marks the failures that Board::from_fen reports as
// internal faults (an empty text, a missing field, a placement character that names no piece);
// the others are its error messages.
struct FenError {
  std::string message;
  bool fault;
};

// Reads a FEN text exactly as Board::from_fen does, returning every failure as a value.
std::expected<Position, FenError> read_fen(std::string_view fen);

// Writes the four-field FEN text of a position into out (MAX_FEN bytes) and returns its length.
std::size_t write_fen(const Position& position, char* out);

// Returns the length of the text write_fen writes for the position, without writing it.
std::size_t fen_length(const Position& position);

// The undo history of a board: per piece index, the bitboards saved before a move changed them,
// and one record per move made and not yet taken back.
// Invariant: pieces_stacks[i] holds as many values as move_stack has records with bit i of
// `moved` set.
struct History {
  std::array<std::vector<Bitboard>, PIECE_NB> pieces_stacks;
  std::vector<MoveRecord> move_stack;
};

// A chess position with its undo history and incremental hash.
class Board : public Position {
 public:
  // Empty (null) until the first move is made, so that building, copying and destroying a board
  // without moves to take back touches no stack; reflect() drops it again.
  std::unique_ptr<History> history;
  ZobristBoardComponent zobrist;

  Board(const Pieces& placement, std::uint64_t state);

  // Copies the position, its history and its hash; the tables are shared.
  Board(const Board& other)
      : Position(other),
        history(other.history ? std::make_unique<History>(*other.history) : nullptr),
        zobrist(other.zobrist) {}
  Board(Board&&) = default;
  Board& operator=(const Board& other) {
    Board copy(other);
    return *this = std::move(copy);
  }
  Board& operator=(Board&&) = default;

  // Returns the number of moves made and not yet taken back.
  std::size_t history_size() const { return history ? history->move_stack.size() : 0; }

  // Reads a position from FEN: placement, side to move, castling rights, en-passant file;
  // further fields are ignored. Returns the board or an error message; an empty text, a missing
  // field and a bad placement character are internal faults.
  static std::expected<Board, std::string> from_fen(std::string_view fen);

  // Replaces the position by another and drops the history; the hash is recomputed.
  void set_position(const Position& position);

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

// A move played on a board for as long as the guard lives: taken back when it goes out of scope,
// also when a fault passes through.
class PlayedMove {
 public:
  PlayedMove(Board& board, ChessMove move) : board_(board) { board.push_move(move); }
  PlayedMove(const PlayedMove&) = delete;
  PlayedMove& operator=(const PlayedMove&) = delete;
  ~PlayedMove() { board_.pop_move(); }

 private:
  Board& board_;
};

inline MoveEffect Position::effect_of(ChessMove move, Bitboard white, Bitboard black) const {
  const Square from = move.from();
  const Square to = move.to();
  // The lowest index holding the square is a white one whenever a white piece stands there.
  std::optional<std::size_t> found = get_piece(from, WHITE_PAWN, BLACK_PAWN, white);
  if (!found) found = get_piece(from, BLACK_PAWN, PIECE_NB, black);
  if (!found) [[unlikely]]
    throw_empty_square(move.from());
  const auto mover = static_cast<std::uint8_t>(*found);
  const Color color = color_of(mover);
  const bool pawn = type_of(mover) == PAWN;

  MoveEffect effect{mover, NO_PIECE, static_cast<std::uint8_t>(to), NO_PIECE, NO_PIECE};
  if (pawn && (rank_of(to) == RANK_1 || rank_of(to) == RANK_8)) {
    const std::uint16_t code = move.special();
    if (code < PROMOTE_KNIGHT || code > PROMOTE_QUEEN) [[unlikely]]
      throw_missing_promotion(move.from(), move.to());
    effect.promoted = static_cast<std::uint8_t>(promotion_piece(code, color));
  }
  // Only a piece of the opposite colour is captured; an own piece on `to` stays.
  const std::optional<std::size_t> captured = color == WHITE
                                                  ? get_piece(to, BLACK_PAWN, PIECE_NB, black)
                                                  : get_piece(to, WHITE_PAWN, BLACK_PAWN, white);
  if (captured) {
    effect.captured = static_cast<std::uint8_t>(*captured);
  } else if (pawn && file_of(from) != file_of(to)) {
    // En passant goes by the side to move, not by the mover's colour: a pawn played out of turn
    // takes a pawn of its own colour. Behind a target on the edge rank there is no square and
    // nothing is taken.
    const bool white_to_move = info & WHITE_TO_MOVE;
    const int behind = white_to_move ? int(to) - 8 : int(to) + 8;
    if (behind >= 0 && behind < int(SQUARE_NB)) {
      effect.captured = white_to_move ? BLACK_PAWN : WHITE_PAWN;
      effect.capture_square = static_cast<std::uint8_t>(behind);
    }
  }
  if (type_of(mover) == KING && castling_files(from, to))
    effect.rook = static_cast<std::uint8_t>(make_piece(color, ROOK));
  return effect;
}

inline void Position::move_pieces(ChessMove move, const MoveEffect& effect) {
  const unsigned from = move.from();
  const unsigned to = move.to();
  pieces[effect.mover] = move_bit(pieces[effect.mover], from, to);
  if (effect.captured != NO_PIECE) {
    pieces[effect.captured] = delete_bit(pieces[effect.captured], effect.capture_square);
  }
  if (effect.rook != NO_PIECE) {
    // The rook of the home rank of the side to move goes to the far side of the king.
    const unsigned home = (info & WHITE_TO_MOVE) ? 0 : 56;
    pieces[effect.rook] = file_of(to) == FILE_G
                              ? move_bit(pieces[effect.rook], home + FILE_H, home + FILE_F)
                              : move_bit(pieces[effect.rook], home + FILE_A, home + FILE_D);
  }
  if (effect.promoted != NO_PIECE) {
    pieces[effect.mover] = delete_bit(pieces[effect.mover], to);
    pieces[effect.promoted] |= square_bb(to);
  }
}

inline std::uint64_t Position::info_after(ChessMove move, const MoveEffect& effect) const {
  const Square from = move.from();
  const Square to = move.to();
  std::uint64_t next = info & ~EN_PASSANT_MASK;
  // A double step leaves an en-passant file for the side that moves next.
  if (effect.mover == WHITE_PAWN && rank_of(to) == rank_of(from) + 2) {
    next |= std::uint64_t{1} << (EN_PASSANT_BLACK + file_of(to));
  } else if (effect.mover == BLACK_PAWN && rank_of(from) == rank_of(to) + 2) {
    next |= std::uint64_t{1} << (EN_PASSANT_WHITE + file_of(to));
  }
  if (info & WHITE_TO_MOVE) {
    if (effect.mover == WHITE_KING || (effect.mover == WHITE_ROOK && from == 7))
      next &= ~CASTLE_WHITE_KING;
    if (effect.mover == WHITE_KING || (effect.mover == WHITE_ROOK && from == 0))
      next &= ~CASTLE_WHITE_QUEEN;
  } else {
    if (effect.mover == BLACK_KING || (effect.mover == BLACK_ROOK && from == 63))
      next &= ~CASTLE_BLACK_KING;
    if (effect.mover == BLACK_KING || (effect.mover == BLACK_ROOK && from == 56))
      next &= ~CASTLE_BLACK_QUEEN;
  }
  // A rook taken in its corner takes its right along (en passant only ever takes a pawn).
  if (effect.captured == WHITE_ROOK && to == 7) next &= ~CASTLE_WHITE_KING;
  if (effect.captured == WHITE_ROOK && to == 0) next &= ~CASTLE_WHITE_QUEEN;
  if (effect.captured == BLACK_ROOK && to == 63) next &= ~CASTLE_BLACK_KING;
  if (effect.captured == BLACK_ROOK && to == 56) next &= ~CASTLE_BLACK_QUEEN;
  return next ^ WHITE_TO_MOVE;
}

// Returns the colour-mirrored placement: ranks flipped (byte r of each bitboard with byte 7 - r)
// and each white piece's bitboard exchanged with the black one of its type.
constexpr Pieces reflected_pieces(const Pieces& pieces) {
  Pieces mirrored{};
  for (std::size_t type = PAWN; type <= KING; ++type) {
    mirrored[make_piece(WHITE, type)] = std::byteswap(pieces[make_piece(BLACK, type)]);
    mirrored[make_piece(BLACK, type)] = std::byteswap(pieces[make_piece(WHITE, type)]);
  }
  return mirrored;
}

// Returns the info word of the colour-mirrored position: the side to move changes, and the two
// sides' groups of castling rights and of en-passant files trade places; the unused bits stay.
constexpr std::uint64_t reflected_info(std::uint64_t info) {
  constexpr unsigned castling_shift =
      std::countr_zero(CASTLE_BLACK_KING) - std::countr_zero(CASTLE_WHITE_KING);
  constexpr unsigned en_passant_shift = EN_PASSANT_BLACK - EN_PASSANT_WHITE;
  return (~info & WHITE_TO_MOVE) | (info & BLACK_CASTLING) >> castling_shift |
         (info & WHITE_CASTLING) << castling_shift |
         (info & EN_PASSANT_FILES << EN_PASSANT_BLACK) >> en_passant_shift |
         (info & EN_PASSANT_FILES << EN_PASSANT_WHITE) << en_passant_shift | (info & ~INFO_BITS);
}

// Returns the 12 bitboards of the placement (the first field) of a FEN text.
// Ranks are not checked for length: pieces land on (square counter mod 64).
Pieces pieces_from_fen(std::string_view fen);

// Returns fen split at every "/" with the order of the pieces reversed.
std::string reverse_fen(std::string_view fen);

// Returns the placement flags of the 12 bitboards.
Planes planes(const Pieces& pieces);

// Byte i of entry b is bit i of b: the flags of eight squares of a bitboard.
inline constexpr auto BYTE_FLAGS = [] {
  std::array<std::array<std::uint8_t, 8>, 256> table{};
  for (std::size_t byte = 0; byte < 256; ++byte) {
    for (std::size_t bit = 0; bit < 8; ++bit) table[byte][bit] = (byte >> bit) & 1;
  }
  return table;
}();

// Writes the placement flags of the 12 bitboards as PIECE_NB * SQUARE_NB bytes of 0 or 1 in the
// layout of Planes.
inline void write_planes(const Pieces& pieces, std::uint8_t* out) {
  for (const Bitboard bitboard : pieces) {
    for (unsigned shift = 0; shift < SQUARE_NB; shift += 8, out += 8)
      std::memcpy(out, BYTE_FLAGS[(bitboard >> shift) & 0xFF].data(), 8);
  }
}

}  // namespace vorel
