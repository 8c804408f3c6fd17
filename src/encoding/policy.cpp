#include "encoding/policy.hpp"

#include "common/fault.hpp"

namespace vorel {

void mark_legal_moves(PolicyScheme scheme, const MoveList& legal, Color us, std::uint8_t* row) {
  for (const ChessMove move : legal) {
    const std::uint16_t index = policy_index(scheme, move, us);
    if (index == NO_INDEX) [[unlikely]]
      throw Fault("a legal move has no policy index: " + move.to_string());
    row[index] = 1;
  }
}

std::optional<ChessMove> move_of_index(PolicyScheme scheme, std::uint16_t index,
                                       const MoveList& legal, Color us) {
  for (const ChessMove move : legal) {
    if (policy_index(scheme, move, us) == index) return move;
  }
  return std::nullopt;
}

}  // namespace vorel
