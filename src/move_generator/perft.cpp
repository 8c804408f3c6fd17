#include "move_generator/game_state.hpp"
#include "move_generator/legality.hpp"
#include "move_generator/move_generator.hpp"

namespace vorel {

std::optional<std::string> perft_refusal(const MoveGenerator& generator, const Position& position,
                                         unsigned depth, bool divide) {
  if (divide && depth < 1) return "divide needs a depth of at least 1";
  if (depth >= 1 && !has_king_to_move(position)) return "perft: the side to move has no king";
  const std::uint32_t other_king =
      position.side_to_move() == WHITE ? STATUS_NO_BLACK_KING : STATUS_NO_WHITE_KING;
  if (depth >= 2 && (status(generator, position) & (other_king | STATUS_OPPOSITE_CHECK)))
    return "perft: the side not to move has no king or is in check, so a move could take its king";
  return std::nullopt;
}

std::uint64_t perft(const MoveGenerator& generator, Board& board, unsigned depth) {
  // The last ply is counted without listing its moves.
  if (depth <= 1) return count_moves(generator, board);
  MoveList moves;
  generator.moves(board, moves);
  std::uint64_t nodes = 0;
  for (const ChessMove move : moves) {
    const PlayedMove played(board, move);
    nodes += perft(generator, board, depth - 1);
  }
  return nodes;
}

std::vector<std::pair<ChessMove, std::uint64_t>> perft_divide(const MoveGenerator& generator,
                                                              Board& board, unsigned depth) {
  MoveList moves;
  generator.moves(board, moves);
  std::vector<std::pair<ChessMove, std::uint64_t>> counts;
  counts.reserve(moves.size());
  for (const ChessMove move : moves) {
    if (depth <= 1) {
      counts.emplace_back(move, 1);
      continue;
    }
    const PlayedMove played(board, move);
    counts.emplace_back(move, perft(generator, board, depth - 1));
  }
  return counts;
}

}  // namespace vorel
