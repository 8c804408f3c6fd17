#include "move_generator/legality.hpp"

namespace vorel {

namespace {

constexpr Bitboard rank_bb(unsigned rank) { return RANK_1_SQUARES << (8 * rank); }

// What the king of the side to move faces, on a well-formed board.
struct KingSafety {
  unsigned king;
  Bitboard checkers;
  // Own pieces that are the only piece between the king and an enemy slider aiming at it.
  Bitboard pinned;
  // The squares a move of any other piece than the king must end on: every square out of
  // check, the checker and the squares between it and the king in single check, none in double.
  Bitboard evasions;
};

// Returns true if a piece of the side not to move (the opponent of White) attacks `square`,
// rays being stopped by `occupied` instead of the board's own occupancy.
template <bool White>
[[gnu::always_inline]] inline bool attacked_under(const MoveGenerator& generator,
                                                  const Pieces& pieces, unsigned square,
                                                  Bitboard occupied) {
  constexpr std::size_t offset = OPP<White>;
  if (KNIGHT_ATTACKS[square] & pieces[offset + KNIGHT]) return true;
  if (PAWN_ATTACKS[White][square] & pieces[offset + PAWN]) return true;
  if (KING_ATTACKS[square] & pieces[offset + KING]) return true;
  const Bitboard queens = pieces[offset + QUEEN];
  if (generator.sliding_attacks(ROOK_KIND, square, occupied) & (pieces[offset + ROOK] | queens))
    return true;
  return generator.sliding_attacks(BISHOP_KIND, square, occupied) &
         (pieces[offset + BISHOP] | queens);
}

template <bool White>
[[gnu::always_inline]] inline KingSafety king_safety(const MoveGenerator& generator,
                                                     const Pieces& pieces, Bitboard self_mask,
                                                     Bitboard opp_mask) {
  constexpr std::size_t offset = OPP<White>;
  const unsigned king = static_cast<unsigned>(std::countr_zero(pieces[SELF<White> + KING]));
  const Bitboard occupied = self_mask | opp_mask;
  const Bitboard queens = pieces[offset + QUEEN];
  // Rays from the king through own pieces up to the first enemy piece: the sliders that check
  // with nothing between, or pin with exactly one own piece between.
  const Bitboard snipers =
      (generator.sliding_attacks(ROOK_KIND, king, opp_mask) & (pieces[offset + ROOK] | queens)) |
      (generator.sliding_attacks(BISHOP_KIND, king, opp_mask) & (pieces[offset + BISHOP] | queens));
  Bitboard checkers = (KNIGHT_ATTACKS[king] & pieces[offset + KNIGHT]) |
                      (PAWN_ATTACKS[White][king] & pieces[offset + PAWN]) |
                      (KING_ATTACKS[king] & pieces[offset + KING]);
  Bitboard pinned = 0;
  for (const unsigned sniper : get_bits(snipers)) {
    const Bitboard blockers = LINE_TABLES.between[king][sniper] & occupied;
    if (blockers == 0) {
      checkers |= square_bb(sniper);
    } else if ((blockers & (blockers - 1)) == 0) {
      pinned |= blockers;  // the ray ends at the first enemy piece, so this one is own
    }
  }
  Bitboard evasions = ~Bitboard{0};
  if (checkers != 0) {
    const unsigned checker = static_cast<unsigned>(std::countr_zero(checkers));
    evasions = (checkers & (checkers - 1)) != 0
                   ? 0
                   : LINE_TABLES.between[king][checker] | square_bb(checker);
  }
  return {king, checkers, pinned, evasions};
}

// Returns true if a move of a piece other than the king from `from` to `to` (not onto an own
// piece, not en passant) leaves the king unattacked.
inline bool keeps_king_safe(const KingSafety& safety, unsigned from, unsigned to) {
  return has_square(safety.evasions, to) &&
         (!has_square(safety.pinned, from) || has_square(LINE_TABLES.lines[safety.king][from], to));
}

template <bool White>
void keep_legal(const MoveGenerator& generator, Board& board, MoveList& moves, std::size_t first) {
  const Pieces& pieces = board.pieces;
  const Bitboard self_mask = side_mask(pieces, SELF<White>);
  const Bitboard opp_mask = side_mask(pieces, OPP<White>);
  const KingSafety safety = king_safety<White>(generator, pieces, self_mask, opp_mask);
  const Bitboard without_king = (self_mask | opp_mask) & ~square_bb(safety.king);
  std::size_t kept = first;
  for (std::size_t i = first; i < moves.size(); ++i) {
    const ChessMove move = moves[i];
    const unsigned from = move.from();
    const unsigned to = move.to();
    bool legal = false;
    if (move.special() == EN_PASSANT) {
      // What the move takes depends on what stands on the target: let making it decide.
      legal = generator.trial_keeps(board, move);
    } else if (move.special() == CASTLING) {
      // Generation lists a castle only when the king's square and the two it crosses or lands
      // on are unattacked. Of the lines through the landing square only the rank changes, and
      // on it the moved rook stands first, or the emptied home square, whose rank was safe.
      legal = true;
    } else if (from == safety.king) {
      // No piece attacks its own square, so a captured piece need not be taken off.
      legal = !attacked_under<White>(generator, pieces, to, without_king);
    } else {
      legal = keeps_king_safe(safety, from, to);
    }
    if (legal) moves[kept++] = move;
  }
  moves.truncate(kept);
}

// Returns the number of moves generation lists for `pawns` whose target is in `allowed`:
// captures onto enemy pieces, single and double pushes, four moves per promotion.
template <bool White>
[[gnu::always_inline]] inline std::size_t count_pawn_moves(Bitboard pawns, Bitboard opp_mask,
                                                           Bitboard occupied, Bitboard allowed) {
  constexpr Bitboard promotion = White ? rank_bb(7) : rank_bb(0);
  constexpr Bitboard double_step = White ? rank_bb(2) : rank_bb(5);
  const auto forward = [](Bitboard b) { return White ? b << 8 : b >> 8; };
  const Bitboard toward_a = White ? (pawns & ~FILE_A_SQUARES) << 7 : (pawns & ~FILE_A_SQUARES) >> 9;
  const Bitboard toward_h = White ? (pawns & ~FILE_H_SQUARES) << 9 : (pawns & ~FILE_H_SQUARES) >> 7;
  const Bitboard single = forward(pawns) & ~occupied;
  const Bitboard twice = forward(single & double_step) & ~occupied & allowed;
  const Bitboard captures_a = toward_a & opp_mask & allowed;
  const Bitboard captures_h = toward_h & opp_mask & allowed;
  const Bitboard pushes = single & allowed;
  const int plain = std::popcount(captures_a & ~promotion) +
                    std::popcount(captures_h & ~promotion) + std::popcount(pushes & ~promotion);
  const int promoting = std::popcount(captures_a & promotion) +
                        std::popcount(captures_h & promotion) + std::popcount(pushes & promotion);
  return static_cast<std::size_t>(plain + 4 * promoting + std::popcount(twice));
}

template <bool White>
[[gnu::always_inline]] inline std::size_t count_legal(const MoveGenerator& generator,
                                                      Board& board) {
  const Pieces& pieces = board.pieces;
  const Bitboard self_mask = side_mask(pieces, SELF<White>);
  const Bitboard opp_mask = side_mask(pieces, OPP<White>);
  const Bitboard occupied = self_mask | opp_mask;
  const KingSafety safety = king_safety<White>(generator, pieces, self_mask, opp_mask);
  const unsigned king = safety.king;
  std::size_t count = 0;

  const Bitboard without_king = occupied & ~square_bb(king);
  for (const unsigned to : get_bits(KING_ATTACKS[king] & ~self_mask))
    count += !attacked_under<White>(generator, pieces, to, without_king);

  // Castling as generation lists it; every castle listed is legal (see keep_legal).
  constexpr unsigned home = White ? 0 : 56;
  constexpr std::uint64_t king_side = White ? CASTLE_WHITE_KING : CASTLE_BLACK_KING;
  constexpr std::uint64_t queen_side = White ? CASTLE_WHITE_QUEEN : CASTLE_BLACK_QUEEN;
  if (king == home + 4 && safety.checkers == 0) {
    const auto safe = [&](unsigned square) {
      return !attacked_under<White>(generator, pieces, square, occupied);
    };
    if ((board.info & king_side) && !(occupied & (square_bb(home + 5) | square_bb(home + 6))) &&
        safe(home + 5) && safe(home + 6)) {
      ++count;
    }
    if ((board.info & queen_side) &&
        !(occupied & (square_bb(home + 1) | square_bb(home + 2) | square_bb(home + 3))) &&
        safe(home + 2) && safe(home + 3)) {
      ++count;
    }
  }

  const Bitboard targets = ~self_mask & safety.evasions;
  // A pinned knight has no move along its pin line.
  for (const unsigned from : get_bits(pieces[SELF<White> + KNIGHT] & ~safety.pinned))
    count += static_cast<std::size_t>(std::popcount(KNIGHT_ATTACKS[from] & targets));

  const Bitboard pawns = pieces[SELF<White> + PAWN];
  count += count_pawn_moves<White>(pawns & ~safety.pinned, opp_mask, occupied, targets);
  for (const unsigned from : get_bits(pawns & safety.pinned)) {
    count += count_pawn_moves<White>(square_bb(from), opp_mask, occupied,
                                     targets & LINE_TABLES.lines[king][from]);
  }
  // Every en-passant-coded move is decided by making it, as keep_legal does.
  constexpr unsigned enpass_offset = White ? EN_PASSANT_WHITE : EN_PASSANT_BLACK;
  const Bitboard flags = (board.info >> enpass_offset) & 0xFF;
  if (flags != 0) {
    const Bitboard en_passant_targets = flags << (White ? 40 : 16);
    for (const unsigned from : get_bits(pawns & rank_bb(White ? 4 : 3))) {
      for (const unsigned to : get_bits(PAWN_ATTACKS[White][from] & en_passant_targets))
        count += generator.trial_keeps(board, ChessMove::unchecked(from, to, EN_PASSANT));
    }
  }

  const Bitboard queens = pieces[SELF<White> + QUEEN];
  for (const std::size_t kind : {ROOK_KIND, BISHOP_KIND}) {
    const Bitboard sliders = queens | pieces[SELF<White> + (kind == ROOK_KIND ? ROOK : BISHOP)];
    for (const unsigned from : get_bits(sliders)) {
      Bitboard reached = generator.sliding_attacks(kind, from, occupied) & targets;
      if (has_square(safety.pinned, from)) reached &= LINE_TABLES.lines[king][from];
      count += static_cast<std::size_t>(std::popcount(reached));
    }
  }
  return count;
}

}  // namespace

void keep_legal_by_pins(const MoveGenerator& generator, Board& board, MoveList& moves,
                        std::size_t first) {
  board.to_move() ? keep_legal<true>(generator, board, moves, first)
                  : keep_legal<false>(generator, board, moves, first);
}

// Counting is mostly population counts: a second copy uses the processor's instruction for them
// where it has one, chosen once when the program is loaded.
[[gnu::target_clones("popcnt", "default")]] std::size_t count_moves(const MoveGenerator& generator,
                                                                    Board& board) {
  if (!well_formed(board.pieces)) {
    MoveList moves;
    generator.moves(board, moves);
    return moves.size();
  }
  return board.to_move() ? count_legal<true>(generator, board)
                         : count_legal<false>(generator, board);
}

}  // namespace vorel
