#include "move_generator/game_state.hpp"

#include <bit>

namespace vorel {

namespace {

constexpr Bitboard BACK_RANKS = 0xFF000000000000FFULL;

// Returns true if a king of `color` is attacked.
bool king_attacked(const MoveGenerator& generator, const Pieces& pieces, Color color) {
  for (const Square king : get_bits(pieces[make_piece(color, KING)])) {
    if (generator.square_in_check(pieces, king, color)) return true;
  }
  return false;
}

}  // namespace

std::uint64_t standing_castling_rights(const Pieces& pieces, std::uint64_t info) {
  std::uint64_t rights = 0;
  for (const Color color : {WHITE, BLACK}) {
    const Square king = make_square(FILE_E, relative_rank(color, RANK_1));
    if (!has_square(pieces[make_piece(color, KING)], king)) continue;
    const Bitboard rooks = pieces[make_piece(color, ROOK)];
    if (has_square(rooks, king + 3)) rights |= king_side_right(color);
    if (has_square(rooks, king - 4)) rights |= queen_side_right(color);
  }
  return rights & info;
}

std::uint32_t status(const MoveGenerator& generator, const Position& position) {
  const Pieces& pieces = position.pieces;
  const Color us = position.side_to_move();
  const bool white = us == WHITE;
  std::uint32_t flags = 0;
  if (pieces[WHITE_KING] == 0) flags |= STATUS_NO_WHITE_KING;
  if (pieces[BLACK_KING] == 0) flags |= STATUS_NO_BLACK_KING;
  if (std::popcount(pieces[WHITE_KING]) > 1 || std::popcount(pieces[BLACK_KING]) > 1)
    flags |= STATUS_TOO_MANY_KINGS;
  if ((pieces[WHITE_PAWN] | pieces[BLACK_PAWN]) & BACK_RANKS) flags |= STATUS_PAWNS_ON_BACKRANK;
  if (king_attacked(generator, pieces, ~us)) flags |= STATUS_OPPOSITE_CHECK;
  if (standing_castling_rights(pieces, position.info) != (position.info & CASTLING_MASK))
    flags |= STATUS_BAD_CASTLING_RIGHTS;
  // The file of the group of the side to move, as written in FEN: its lowest bit.
  const std::uint64_t files = (position.info >> en_passant_group(us)) & EN_PASSANT_FILES;
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
  return king_attacked(generator, position.pieces, position.side_to_move());
}

Outcome outcome(const MoveGenerator& generator, Position& position) {
  MoveList moves;
  generator.moves(position, moves);
  if (!moves.empty()) return ONGOING;
  return in_check(generator, position) ? CHECKMATE : STALEMATE;
}

}  // namespace vorel
