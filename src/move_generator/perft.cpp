#include "move_generator/legality.hpp"
#include "move_generator/move_generator.hpp"

namespace vorel {

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
