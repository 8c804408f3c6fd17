#include "encoding/policy.hpp"

#include <cstring>

#include "common/fault.hpp"

namespace vorel {

void write_legal_mask(PolicyScheme scheme, const MoveList& legal, Color us, std::uint8_t* row) {
  std::memset(row, 0, policy_size(scheme));
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
