#include "move_generator/legality.hpp"

namespace vorel {

namespace {

// What the king of the side to move faces, on a well-formed position.
struct KingSafety {
  Square king;
  Bitboard checkers;
  // Own pieces that are the only piece between the king and an enemy slider aiming at it.
  Bitboard pinned;
  // The squares a move of any other piece than the king must end on: every square out of
  // check, the checker and the squares between it and the king in single check, none in double.
  Bitboard evasions;
};

template <Color Us>
[[gnu::always_inline]] inline KingSafety king_safety(const MoveGenerator& generator,
                                                     const Pieces& pieces, Bitboard self_mask,
                                                     Bitboard opp_mask) {
  constexpr std::size_t them = piece_offset(~Us);
  const auto king = static_cast<Square>(std::countr_zero(pieces[make_piece(Us, KING)]));
  const Bitboard occupied = self_mask | opp_mask;
  const Bitboard queens = pieces[them + QUEEN];
  // Rays from the king through own pieces up to the first enemy piece: the sliders that check
  // with nothing between, or pin with exactly one own piece between.
  const Bitboard snipers =
      (generator.sliding_attacks(ROOK_KIND, king, opp_mask) & (pieces[them + ROOK] | queens)) |
      (generator.sliding_attacks(BISHOP_KIND, king, opp_mask) & (pieces[them + BISHOP] | queens));
  Bitboard checkers = (KNIGHT_ATTACKS[king] & pieces[them + KNIGHT]) |
                      (PAWN_ATTACKS[Us][king] & pieces[them + PAWN]) |
                      (KING_ATTACKS[king] & pieces[them + KING]);
  Bitboard pinned = 0;
  for (const Square sniper : get_bits(snipers)) {
    const Bitboard blockers = LINE_TABLES.between[king][sniper] & occupied;
    if (blockers == 0) {
      checkers |= square_bb(sniper);
    } else if ((blockers & (blockers - 1)) == 0) {
      pinned |= blockers;  // the ray ends at the first enemy piece, so this one is own
    }
  }
  Bitboard evasions = ~Bitboard{0};
  if (checkers != 0) {
    const auto checker = static_cast<Square>(std::countr_zero(checkers));
    evasions = (checkers & (checkers - 1)) != 0
                   ? 0
                   : LINE_TABLES.between[king][checker] | square_bb(checker);
  }
  return {king, checkers, pinned, evasions};
}

// Returns true if a move of a piece other than the king from `from` to `to` (not onto an own
// piece, not en passant) leaves the king unattacked.
inline bool keeps_king_safe(const KingSafety& safety, Square from, Square to) {
  return has_square(safety.evasions, to) &&
         (!has_square(safety.pinned, from) || has_square(LINE_TABLES.lines[safety.king][from], to));
}

template <Color Us>
void keep_legal(const MoveGenerator& generator, Position& position, MoveList& moves,
                std::size_t first) {
  const Pieces& pieces = position.pieces;
  const Bitboard self_mask = side_mask(pieces, Us);
  const Bitboard opp_mask = side_mask(pieces, ~Us);
  const KingSafety safety = king_safety<Us>(generator, pieces, self_mask, opp_mask);
  const Bitboard without_king = (self_mask | opp_mask) & ~square_bb(safety.king);
  std::size_t kept = first;
  if (safety.checkers == 0 && safety.pinned == 0 && en_passant_targets<Us>(position.info) == 0) {
    // Out of check, with nothing pinned and no en passant, only the king's steps can leave the
    // king attacked (its castles are decided as below), and generation lists them first.
    std::size_t i = first;
    for (; i < moves.size() && moves[i].from() == safety.king && moves[i].special() == ORDINARY;
         ++i) {
      if (!generator.attacked<Us>(pieces, moves[i].to(), without_king)) moves[kept++] = moves[i];
    }
    if (kept == i) return;
    for (; i < moves.size(); ++i) moves[kept++] = moves[i];
    moves.truncate(kept);
    return;
  }
  for (std::size_t i = first; i < moves.size(); ++i) {
    const ChessMove move = moves[i];
    const Square from = move.from();
    const Square to = move.to();
    bool legal = false;
    if (move.special() == EN_PASSANT) {
      // What the move takes depends on what stands on the target: let making it decide.
      legal = generator.trial_keeps(position, move);
    } else if (move.special() == CASTLING) {
      // Generation lists a castle only when the king's square and the two it crosses or lands
      // on are unattacked. Of the lines through the landing square only the rank changes, and
      // on it the moved rook stands first, or the emptied home square, whose rank was safe.
      legal = true;
    } else if (from == safety.king) {
      // No piece attacks its own square, so a captured piece need not be taken off.
      legal = !generator.attacked<Us>(pieces, to, without_king);
    } else {
      legal = keeps_king_safe(safety, from, to);
    }
    if (legal) moves[kept++] = move;
  }
  moves.truncate(kept);
}

// Returns the number of moves generation lists for `pawns` whose target is in `allowed`:
// captures onto enemy pieces, single and double pushes, four moves per promotion.
template <Color Us>
[[gnu::always_inline]] inline std::size_t count_pawn_moves(Bitboard pawns, Bitboard opp_mask,
                                                           Bitboard occupied, Bitboard allowed) {
  constexpr Bitboard promotion = PROMOTION_SQUARES<Us>;
  // Each diagonal apart: two pawns may take on the same square.
  const Bitboard west = pawn_attacks_west<Us>(pawns) & opp_mask & allowed;
  const Bitboard east = pawn_attacks_east<Us>(pawns) & opp_mask & allowed;
  const Bitboard pushes = pawn_pushes<Us>(pawns, occupied) & allowed;
  const Bitboard twice = pawn_double_pushes<Us>(pawns, occupied) & allowed;
  const int plain = std::popcount(west & ~promotion) + std::popcount(east & ~promotion) +
                    std::popcount(pushes & ~promotion);
  const int promoting = std::popcount(west & promotion) + std::popcount(east & promotion) +
                        std::popcount(pushes & promotion);
  return static_cast<std::size_t>(plain + 4 * promoting + std::popcount(twice));
}

template <Color Us>
[[gnu::always_inline]] inline std::size_t count_legal(const MoveGenerator& generator,
                                                      Position& position) {
  const Pieces& pieces = position.pieces;
  const Bitboard self_mask = side_mask(pieces, Us);
  const Bitboard opp_mask = side_mask(pieces, ~Us);
  const Bitboard occupied = self_mask | opp_mask;
  const KingSafety safety = king_safety<Us>(generator, pieces, self_mask, opp_mask);
  const Square king = safety.king;
  std::size_t count = 0;

  const Bitboard without_king = occupied & ~square_bb(king);
  for (const Square to : get_bits(KING_ATTACKS[king] & ~self_mask))
    count += !generator.attacked<Us>(pieces, to, without_king);
  // Every castle listed is legal (see keep_legal).
  if (safety.checkers == 0)
    count += static_cast<std::size_t>(
        std::popcount(generator.template castles<Us, true>(position, occupied)));

  const Bitboard targets = ~self_mask & safety.evasions;
  // A pinned knight has no move along its pin line.
  for (const Square from : get_bits(pieces[make_piece(Us, KNIGHT)] & ~safety.pinned))
    count += static_cast<std::size_t>(std::popcount(KNIGHT_ATTACKS[from] & targets));

  const Bitboard pawns = pieces[make_piece(Us, PAWN)];
  count += count_pawn_moves<Us>(pawns & ~safety.pinned, opp_mask, occupied, targets);
  for (const Square from : get_bits(pawns & safety.pinned)) {
    count += count_pawn_moves<Us>(square_bb(from), opp_mask, occupied,
                                  targets & LINE_TABLES.lines[king][from]);
  }
  // Every en-passant-coded move is decided by making it, as keep_legal does.
  if (const Bitboard en_passant = en_passant_targets<Us>(position.info)) {
    for (const Square from : get_bits(pawns)) {
      for (const Square to : get_bits(PAWN_ATTACKS[Us][from] & en_passant))
        count += generator.trial_keeps(position, ChessMove::unchecked(from, to, EN_PASSANT));
    }
  }

  const Bitboard queens = pieces[make_piece(Us, QUEEN)];
  for (const std::size_t kind : {ROOK_KIND, BISHOP_KIND}) {
    const Bitboard sliders = queens | pieces[make_piece(Us, kind == ROOK_KIND ? ROOK : BISHOP)];
    for (const Square from : get_bits(sliders)) {
      Bitboard reached = generator.sliding_attacks(kind, from, occupied) & targets;
      if (has_square(safety.pinned, from)) reached &= LINE_TABLES.lines[king][from];
      count += static_cast<std::size_t>(std::popcount(reached));
    }
  }
  return count;
}

}  // namespace

void keep_legal_by_pins(const MoveGenerator& generator, Position& position, MoveList& moves,
                        std::size_t first) {
  position.side_to_move() == WHITE ? keep_legal<WHITE>(generator, position, moves, first)
                                   : keep_legal<BLACK>(generator, position, moves, first);
}

// Counting is mostly population counts: a second copy uses the processor's instruction for them
// where it has one, chosen once when the program is loaded.
[[gnu::target_clones("popcnt", "default")]] std::size_t count_moves(const MoveGenerator& generator,
                                                                    Position& position) {
  if (!well_formed(position.pieces)) {
    MoveList moves;
    generator.moves(position, moves);
    return moves.size();
  }
  return position.side_to_move() == WHITE ? count_legal<WHITE>(generator, position)
                                          : count_legal<BLACK>(generator, position);
}

}  // namespace vorel
