#include "move_generator/move_generator.hpp"

#include "move_generator/legality.hpp"

namespace vorel {

namespace {

// Appends a step move from every square of `bitboard` to each of its targets, in table order,
// except onto own pieces.
void get_k_moves(Bitboard bitboard, Bitboard self_mask,
                 const std::array<StepTargets, SQUARE_NB>& targets, MoveList& moves) {
  for (const Square origin : get_bits(bitboard)) {
    const StepTargets& steps = targets[origin];
    for (std::size_t i = 0; i < steps.count; ++i) {
      const unsigned target = steps.squares[i];
      if (!has_square(self_mask, target))
        moves.push_back(ChessMove::unchecked(origin, target, ORDINARY));
    }
  }
}

[[noreturn, gnu::cold]] void throw_king_lost() { throw Fault("The side that moved has no king"); }

void push_promotions(unsigned from, unsigned to, MoveList& moves) {
  for (const unsigned code : {PROMOTE_KNIGHT, PROMOTE_BISHOP, PROMOTE_ROOK, PROMOTE_QUEEN}) {
    moves.push_back(ChessMove::unchecked(from, to, code));
  }
}

// Plays a move on the bitboards and the side to move only, and puts both back on destruction:
// the make and unmake of the legality test. The hash, the info bits the test does not read and
// the undo stacks are never touched, so they come through the test unchanged. `white` and
// `black` are the two sides' unions before the move.
class TrialMove {
 public:
  TrialMove(Position& position, ChessMove move, Bitboard white, Bitboard black)
      : position_(position), pieces_(position.pieces) {
    position.move_pieces(move, position.effect_of(move, white, black));
    position.info ^= WHITE_TO_MOVE;
  }
  TrialMove(const TrialMove&) = delete;
  TrialMove& operator=(const TrialMove&) = delete;
  ~TrialMove() {
    position_.info ^= WHITE_TO_MOVE;
    position_.pieces = pieces_;
  }

 private:
  Position& position_;
  const Pieces pieces_;
};

}  // namespace

std::vector<Bitboard> rook_bishop_moves(unsigned square, std::size_t piece_type) {
  const std::size_t kind = kind_of(piece_type);
  const SlidingEntry& entry = SLIDING_ENTRIES[2 * square + kind];
  const auto& directions = kind == ROOK_KIND ? ROOK_DIRECTIONS : BISHOP_DIRECTIONS;
  std::vector<Bitboard> table(std::size_t{1} << (64 - entry.shift), 0);
  // Walks every subset of the mask in increasing order (the carry-rippler trick).
  Bitboard blockers = 0;
  do {
    table[sliding_key(entry, blockers)] = get_moves_from_blockers(square, blockers, directions);
    blockers = (blockers - entry.mask) & entry.mask;
  } while (blockers != 0);
  return table;
}

std::vector<Bitboard> populate_sliding_moves() {
  std::vector<Bitboard> tables;
  tables.reserve(SLIDING_TABLE_SIZE);
  for (unsigned square = 0; square < SQUARE_NB; ++square) {
    for (const std::size_t piece_type : {ROOK, BISHOP}) {
      const std::vector<Bitboard> table = rook_bishop_moves(square, piece_type);
      tables.insert(tables.end(), table.begin(), table.end());
    }
  }
  return tables;
}

MoveGenerator::MoveGenerator() : sliding_moves(populate_sliding_moves()) {}

bool MoveGenerator::square_in_check(const Pieces& pieces, Square square, Color color) const {
  const Bitboard occupied = occupancy(pieces);
  return color == WHITE ? attacked<WHITE>(pieces, square, occupied)
                        : attacked<BLACK>(pieces, square, occupied);
}

void MoveGenerator::pseudo_moves(const Position& position, MoveList& moves) const {
  position.side_to_move() == WHITE ? generate<WHITE>(position, moves)
                                   : generate<BLACK>(position, moves);
}

template <Color Us>
void MoveGenerator::generate(const Position& position, MoveList& moves) const {
  const Bitboard self_mask = side_mask(position.pieces, Us);
  const Bitboard opp_mask = side_mask(position.pieces, ~Us);
  const Bitboard occupied = self_mask | opp_mask;
  king_moves<Us>(position, self_mask, occupied, moves);
  get_k_moves(position.pieces[make_piece(Us, KNIGHT)], self_mask, KNIGHT_TARGETS, moves);
  pawn_moves<Us>(position, opp_mask, moves);
  magic_moves<Us>(position, self_mask, occupied, ROOK, moves);
  magic_moves<Us>(position, self_mask, occupied, BISHOP, moves);
}

template <Color Us>
void MoveGenerator::king_moves(const Position& position, Bitboard self_mask, Bitboard occupied,
                               MoveList& moves) const {
  get_k_moves(position.pieces[make_piece(Us, KING)], self_mask, KING_TARGETS, moves);
  constexpr Square king = make_square(FILE_E, relative_rank(Us, RANK_1));
  const unsigned castles_found = castles<Us>(position, occupied);
  if (castles_found & KING_SIDE_CASTLE)
    moves.push_back(ChessMove::unchecked(king, king + 2, CASTLING));
  if (castles_found & QUEEN_SIDE_CASTLE)
    moves.push_back(ChessMove::unchecked(king, king - 2, CASTLING));
}

template <Color Us>
void MoveGenerator::pawn_moves(const Position& position, Bitboard opp_mask, MoveList& moves) const {
  // A square holding pieces of both colours, which pushes of moves the generator would not list
  // can leave, counts as empty for pawn pushes: the sides' unions are combined by exclusive or.
  const Bitboard push_blockers = side_mask(position.pieces, Us) ^ opp_mask;
  const Bitboard en_passant = en_passant_targets<Us>(position.info);

  for (const Square from : get_bits(position.pieces[make_piece(Us, PAWN)])) {
    const Bitboard pawn = square_bb(from);
    // The diagonal of the step 7 first (+7 for white, -7 for black), then that of the step 9.
    const Bitboard west = pawn_attacks_west<Us>(pawn), east = pawn_attacks_east<Us>(pawn);
    for (const Bitboard target : {Us == WHITE ? west : east, Us == WHITE ? east : west}) {
      if (target == 0) continue;
      const auto to = static_cast<Square>(std::countr_zero(target));
      if (target & opp_mask) {
        if (target & PROMOTION_SQUARES<Us>) {
          push_promotions(from, to, moves);
        } else {
          moves.push_back(ChessMove::unchecked(from, to, ORDINARY));
        }
      }
      if (target & en_passant) moves.push_back(ChessMove::unchecked(from, to, EN_PASSANT));
    }

    const Bitboard push = pawn_pushes<Us>(pawn, push_blockers);
    if (push == 0) continue;
    const auto to = static_cast<Square>(std::countr_zero(push));
    if (push & PROMOTION_SQUARES<Us>) {
      push_promotions(from, to, moves);
      continue;
    }
    moves.push_back(ChessMove::unchecked(from, to, ORDINARY));
    if (const Bitboard twice = pawn_double_pushes<Us>(pawn, push_blockers))
      moves.push_back(
          ChessMove::unchecked(from, static_cast<Square>(std::countr_zero(twice)), DOUBLE_PUSH));
  }
}

template <Color Us>
void MoveGenerator::magic_moves(const Position& position, Bitboard self_mask, Bitboard occupied,
                                std::size_t piece_type, MoveList& moves) const {
  const std::size_t kind = kind_of(piece_type);
  const Bitboard piece_mask =
      position.pieces[make_piece(Us, QUEEN)] | position.pieces[make_piece(Us, piece_type)];
  for (const Square from : get_bits(piece_mask)) {
    const Bitboard targets = sliding_attacks(kind, from, occupied) & ~self_mask;
    for (const unsigned to : get_bits(targets))
      moves.push_back(ChessMove::unchecked(from, to, ORDINARY));
  }
}

template <Color Us>
bool MoveGenerator::phantom_check(const Position& position) const {
  // Only a move on a square holding pieces of both colours can take the mover's own king.
  const Bitboard king = position.pieces[make_piece(Us, KING)];
  if (king == 0) [[unlikely]]
    throw_king_lost();
  return attacked<Us>(position.pieces, static_cast<Square>(std::countr_zero(king)),
                      occupancy(position.pieces));
}

template bool MoveGenerator::phantom_check<WHITE>(const Position&) const;
template bool MoveGenerator::phantom_check<BLACK>(const Position&) const;

template <Color Us>
void MoveGenerator::keep_legal(Position& position, MoveList& moves, std::size_t first) const {
  // Every trial starts from the same position, so the sides' unions hold for all of them.
  const Bitboard white = side_mask(position.pieces, WHITE);
  const Bitboard black = side_mask(position.pieces, BLACK);
  std::size_t kept = first;
  for (std::size_t i = first; i < moves.size(); ++i) {
    const ChessMove move = moves[i];
    bool valid_move = false;
    {
      // The trial is undone on leaving the scope, also when the test faults.
      const TrialMove trial(position, move, white, black);
      valid_move = !phantom_check<Us>(position);
    }
    if (valid_move) moves[kept++] = move;
  }
  moves.truncate(kept);
}

void MoveGenerator::moves(Position& position, MoveList& legal) const {
  if (!well_formed(position.pieces)) {
    moves_by_trial(position, legal);
    return;
  }
  const std::size_t first = legal.size();
  pseudo_moves(position, legal);
  keep_legal_by_pins(*this, position, legal, first);
}

void MoveGenerator::moves_by_trial(Position& position, MoveList& legal) const {
  const Color us = position.side_to_move();
  if (position.pieces[make_piece(us, KING)] == 0) {
    throw Fault("The side to move has no king, so its legal moves are undefined");
  }
  const std::size_t first = legal.size();
  pseudo_moves(position, legal);
  us == WHITE ? keep_legal<WHITE>(position, legal, first)
              : keep_legal<BLACK>(position, legal, first);
}

bool MoveGenerator::trial_keeps(Position& position, ChessMove move) const {
  const TrialMove trial(position, move, side_mask(position.pieces, WHITE),
                        side_mask(position.pieces, BLACK));
  return !mover_in_check(position);
}

}  // namespace vorel
