#pragma once

#include "board/board.hpp"

namespace vorel {

// Returns the placement as the side to move sees it, as models are fed: as it stands with White to
// move; with Black to move, colour-mirrored (ranks flipped, colours swapped), so that the pieces
// of the side to move are in piece indices 0-5 and its back rank is rank 1.
constexpr Pieces side_view(const Position& position) {
  return position.side_to_move() == WHITE ? position.pieces : reflected_pieces(position.pieces);
}

}  // namespace vorel
