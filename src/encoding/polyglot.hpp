#pragma once

// The Polyglot position key: the 64-bit hash of opening books in the Polyglot format, by which
// datasets deduplicate positions and split them by position.

#include <cstdint>

#include "board/board.hpp"
#include "encoding/polyglot_random.hpp"
#include "move_generator/game_state.hpp"
#include "move_generator/primitives.hpp"

namespace vorel {

// Returns the Polyglot key of the position: the exclusive-or of the entries of POLYGLOT_RANDOM
// for each piece on its square, each castling right whose king and rook stand on their squares,
// the en-passant file when a pawn of the side to move stands beside the pawn that just advanced
// two squares (whether or not taking it would be legal), and White to move.
inline std::uint64_t polyglot_key(const Position& position) {
  const Pieces& pieces = position.pieces;
  std::uint64_t key = 0;
  // Polyglot numbers the piece kinds by type, black before white: kind 2 * type + (white). One
  // pass per type over the pieces of both colours. The colour of a piece is that of its own
  // bitboard: pushing moves that are not legal can leave pieces of both colours on one square.
  for (std::size_t type = PAWN; type <= KING; ++type) {
    const Bitboard white = pieces[make_piece(WHITE, type)];
    const Bitboard black = pieces[make_piece(BLACK, type)];
    for (Bitboard b = white | black; b != 0;) {
      const Square square = pop_lsb(b);
      key ^= POLYGLOT_RANDOM[64 * (2 * type + ((white >> square) & 1)) + square];
    }
    // A square that both colours' bitboards of the type hold was counted as white above; its
    // black piece too.
    for (Bitboard b = white & black; b != 0;) key ^= POLYGLOT_RANDOM[64 * 2 * type + pop_lsb(b)];
  }
  if (position.info & CASTLING_MASK) {
    const std::uint64_t rights = standing_castling_rights(pieces, position.info);
    for (unsigned right = 0; right < 4; ++right) {
      if (rights & (CASTLE_WHITE_KING << right)) key ^= POLYGLOT_RANDOM[768 + right];
    }
  }
  const Color us = position.side_to_move();
  const std::uint64_t files = (position.info >> en_passant_group(us)) & EN_PASSANT_FILES;
  if (files != 0) {
    const auto file = static_cast<unsigned>(std::countr_zero(files));
    const Square target = make_square(file, relative_rank(us, RANK_6));
    // The pawns of the side to move that could capture onto the target stand where a pawn of the
    // other side on the target would attack.
    if (PAWN_ATTACKS[~us][target] & pieces[make_piece(us, PAWN)])
      key ^= POLYGLOT_RANDOM[772 + file];
  }
  if (us == WHITE) key ^= POLYGLOT_RANDOM[780];
  return key;
}

}  // namespace vorel
