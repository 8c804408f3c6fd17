#include "move_generator/game_state.hpp"

#include <bit>

namespace vorel {

namespace {

constexpr Bitboard BACK_RANKS = 0xFF000000000000FFULL;

// Returns true if a king in `kings`, of the side `side` (1 = white), is attacked.
bool king_attacked(const MoveGenerator& generator, const Pieces& pieces, Bitboard kings,
                   std::uint64_t side) {
  for (const unsigned king : get_bits(kings)) {
    if (generator.square_in_check(pieces, king, side)) return true;
  }
  return false;
}

// Returns true unless a castling right of the side whose king starts on `king` lacks that king
// or the rook in the right's corner.
bool castling_rights_hold(const Pieces& pieces, std::uint64_t info, std::size_t side,
                          unsigned king) {
  const std::uint64_t king_side = side == WHITE_OFFSET ? CASTLE_WHITE_KING : CASTLE_BLACK_KING;
  const std::uint64_t queen_side = side == WHITE_OFFSET ? CASTLE_WHITE_QUEEN : CASTLE_BLACK_QUEEN;
  const bool king_home = has_square(pieces[side + KING], king);
  const Bitboard rooks = pieces[side + ROOK];
  if ((info & king_side) && !(king_home && has_square(rooks, king + 3))) return false;
  return !((info & queen_side) && !(king_home && has_square(rooks, king - 4)));
}

}  // namespace

std::uint32_t status(const MoveGenerator& generator, const Position& position) {
  const Pieces& pieces = position.pieces;
  const std::uint64_t white = position.info & WHITE_TO_MOVE;
  std::uint32_t flags = 0;
  if (pieces[WHITE_KING] == 0) flags |= STATUS_NO_WHITE_KING;
  if (pieces[BLACK_KING] == 0) flags |= STATUS_NO_BLACK_KING;
  if (std::popcount(pieces[WHITE_KING]) > 1 || std::popcount(pieces[BLACK_KING]) > 1)
    flags |= STATUS_TOO_MANY_KINGS;
  if ((pieces[WHITE_PAWN] | pieces[BLACK_PAWN]) & BACK_RANKS) flags |= STATUS_PAWNS_ON_BACKRANK;
  if (king_attacked(generator, pieces, pieces[white ? BLACK_KING : WHITE_KING], white ^ 1))
    flags |= STATUS_OPPOSITE_CHECK;
  if (!castling_rights_hold(pieces, position.info, WHITE_OFFSET, 4) ||
      !castling_rights_hold(pieces, position.info, BLACK_OFFSET, 60)) {
    flags |= STATUS_BAD_CASTLING_RIGHTS;
  }
  // The file of the group of the side to move, as written in FEN: its lowest bit.
  const std::uint64_t files =
      (position.info >> (white ? EN_PASSANT_WHITE : EN_PASSANT_BLACK)) & EN_PASSANT_FILES;
  if (files != 0) {
    const unsigned file = static_cast<unsigned>(std::countr_zero(files));
    // The pawn of the side not to move stands just past the target, seen from the side to move;
    // the target and the square the pawn came from are empty.
    const unsigned target = white ? 40 + file : 16 + file;
    const unsigned pawn = white ? target - 8 : target + 8;
    const unsigned origin = white ? target + 8 : target - 8;
    const Bitboard occupied = occupancy(pieces);
    if (!has_square(pieces[white ? BLACK_PAWN : WHITE_PAWN], pawn) ||
        has_square(occupied, target) || has_square(occupied, origin)) {
      flags |= STATUS_INVALID_EP_SQUARE;
    }
  }
  Bitboard seen = 0;
  for (const Bitboard bitboard : pieces) {
    if (seen & bitboard) flags |= STATUS_OVERLAPPING_PIECES;
    seen |= bitboard;
  }
  return flags;
}

bool in_check(const MoveGenerator& generator, const Position& position) {
  const std::uint64_t white = position.info & WHITE_TO_MOVE;
  return king_attacked(generator, position.pieces, position.pieces[white ? WHITE_KING : BLACK_KING],
                       white);
}

Outcome outcome(const MoveGenerator& generator, Board& board) {
  MoveList moves;
  generator.moves(board, moves);
  if (!moves.empty()) return ONGOING;
  return in_check(generator, {board.pieces, board.info}) ? CHECKMATE : STALEMATE;
}

}  // namespace vorel
