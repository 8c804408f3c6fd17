#pragma once

#include <cstdint>

#include "board/board.hpp"
#include "move_generator/move_generator.hpp"

namespace vorel {

// The ways in which a position cannot arise from the start position by legal play, as flags of
// status(); 0 means none of them.
enum StatusFlag : std::uint32_t {
  STATUS_NO_WHITE_KING = 1u << 0,
  STATUS_NO_BLACK_KING = 1u << 1,
  STATUS_TOO_MANY_KINGS = 1u << 2,       // a side has more than one king
  STATUS_PAWNS_ON_BACKRANK = 1u << 3,    // a pawn of either side on rank 1 or 8
  STATUS_OPPOSITE_CHECK = 1u << 4,       // a king of the side not to move is attacked
  STATUS_BAD_CASTLING_RIGHTS = 1u << 5,  // a right without its king on e1/e8 and rook in its corner
  STATUS_INVALID_EP_SQUARE = 1u << 6,    // an en-passant file without a pawn that just advanced
  STATUS_OVERLAPPING_PIECES = 1u << 7,   // a square in two bitboards
};

// How the game stands for the side to move.
enum Outcome : std::int8_t { ONGOING = 0, CHECKMATE = 1, STALEMATE = 2 };

// Returns the castling rights of the info word whose king stands on its home square and whose rook
// stands in the right's corner: the rights a position a game can reach holds (a right without them
// is STATUS_BAD_CASTLING_RIGHTS).
std::uint64_t standing_castling_rights(const Pieces& pieces, std::uint64_t info);

// Returns the flags of every way the position breaks the rules of a reachable position.
std::uint32_t status(const MoveGenerator& generator, const Position& position);

// Returns true if a king of the side to move is attacked (false when it has none).
bool in_check(const MoveGenerator& generator, const Position& position);

// Returns the outcome of the board: checkmate or stalemate when the side to move has no legal
// move, ONGOING otherwise. A side to move without a king is an internal fault, as for the legal
// moves; the position comes back exactly as it was.
Outcome outcome(const MoveGenerator& generator, Position& position);

}  // namespace vorel
