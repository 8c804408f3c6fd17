#include "move_generator/move_generator.hpp"

#include "move_generator/legality.hpp"

namespace vorel {

namespace {

// Appends a step move from every square of `bitboard` to each of its targets, in table order,
// except onto own pieces.
void get_k_moves(Bitboard bitboard, Bitboard self_mask,
                 const std::array<StepTargets, SQUARE_NB>& targets, MoveList& moves) {
  for (const unsigned origin : get_bits(bitboard)) {
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
  TrialMove(Board& board, ChessMove move, Bitboard white, Bitboard black)
      : board_(board), pieces_(board.pieces) {
    board.move_pieces(move, board.effect_of(move, white, black));
    board.info ^= WHITE_TO_MOVE;
  }
  TrialMove(const TrialMove&) = delete;
  TrialMove& operator=(const TrialMove&) = delete;
  ~TrialMove() {
    board_.info ^= WHITE_TO_MOVE;
    board_.pieces = pieces_;
  }

 private:
  Board& board_;
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

// White: the square belongs to white and the attackers are black.
template <bool White>
inline bool MoveGenerator::attacked(const Pieces& pieces, unsigned square) const {
  constexpr std::size_t offset = OPP<White>;
  if (KNIGHT_ATTACKS[square] & pieces[offset + KNIGHT]) return true;
  // An enemy pawn attacks the square from where an own pawn on it would capture.
  if (PAWN_ATTACKS[White][square] & pieces[offset + PAWN]) return true;
  const Bitboard blockers = occupancy(pieces);
  const Bitboard queens = pieces[offset + QUEEN];
  if (sliding_attacks(ROOK_KIND, square, blockers) & (pieces[offset + ROOK] | queens)) return true;
  if (sliding_attacks(BISHOP_KIND, square, blockers) & (pieces[offset + BISHOP] | queens))
    return true;
  return KING_ATTACKS[square] & pieces[offset + KING];
}

bool MoveGenerator::square_in_check(const Pieces& pieces, unsigned square,
                                    std::uint64_t to_move) const {
  return to_move == 1 ? attacked<true>(pieces, square) : attacked<false>(pieces, square);
}

void MoveGenerator::pseudo_moves(const Board& board, MoveList& moves) const {
  board.to_move() ? generate<true>(board, moves) : generate<false>(board, moves);
}

template <bool White>
void MoveGenerator::generate(const Board& board, MoveList& moves) const {
  const Bitboard self_mask = side_mask(board.pieces, SELF<White>);
  const Bitboard opp_mask = side_mask(board.pieces, OPP<White>);
  king_moves<White>(board, self_mask, opp_mask, moves);
  knight_moves<White>(board, self_mask, moves);
  pawn_moves<White>(board, self_mask, opp_mask, moves);
  magic_moves<White>(board, self_mask, opp_mask, ROOK, moves);
  magic_moves<White>(board, self_mask, opp_mask, BISHOP, moves);
}

template <bool White>
void MoveGenerator::king_moves(const Board& board, Bitboard self_mask, Bitboard opp_mask,
                               MoveList& moves) const {
  get_k_moves(board.pieces[SELF<White> + KING], self_mask, KING_TARGETS, moves);
  // Castling needs the king on its home square and not in check; the rights stand for the rooks.
  constexpr unsigned home = White ? 0 : 56;
  constexpr std::uint64_t king_side = White ? CASTLE_WHITE_KING : CASTLE_BLACK_KING;
  constexpr std::uint64_t queen_side = White ? CASTLE_WHITE_QUEEN : CASTLE_BLACK_QUEEN;
  if (!has_square(board.pieces[SELF<White> + KING], home + 4) ||
      attacked<White>(board.pieces, home + 4)) {
    return;
  }
  if ((board.info & king_side) &&
      can_castle<White>(board, {home + 5, home + 6}, self_mask, opp_mask, std::nullopt)) {
    moves.push_back(ChessMove::unchecked(home + 4, home + 6, CASTLING));
  }
  if ((board.info & queen_side) &&
      can_castle<White>(board, {home + 2, home + 3}, self_mask, opp_mask, home + 1)) {
    moves.push_back(ChessMove::unchecked(home + 4, home + 2, CASTLING));
  }
}

template <bool White>
bool MoveGenerator::can_castle(const Board& board, std::array<unsigned, 2> squares,
                               Bitboard self_mask, Bitboard opp_mask,
                               std::optional<unsigned> queen_side) const {
  const Bitboard blockers = self_mask | opp_mask;
  for (const unsigned square : squares) {
    if (has_square(blockers, square) || attacked<White>(board.pieces, square)) return false;
  }
  // The square next to the queen-side rook must be empty but may be attacked.
  return !(queen_side && has_square(blockers, *queen_side));
}

template <bool White>
void MoveGenerator::knight_moves(const Board& board, Bitboard self_mask, MoveList& moves) const {
  get_k_moves(board.pieces[SELF<White> + KNIGHT], self_mask, KNIGHT_TARGETS, moves);
}

template <bool White>
void MoveGenerator::pawn_moves(const Board& board, Bitboard self_mask, Bitboard opp_mask,
                               MoveList& moves) const {
  constexpr int direction = White ? 1 : -1;
  constexpr unsigned start_rank = White ? 1 : 6;
  constexpr unsigned end_rank = White ? 6 : 1;
  constexpr unsigned enpass_rank = White ? 4 : 3;
  constexpr unsigned enpass_offset = White ? EN_PASSANT_WHITE : EN_PASSANT_BLACK;
  constexpr std::array<std::int16_t, 2> capture_steps = {7 * direction, 9 * direction};
  // A square holding pieces of both colours, which pushes of moves the generator would not list
  // can leave, counts as empty for pawn pushes: the sides' unions are combined by exclusive or.
  const Bitboard occupied = self_mask ^ opp_mask;

  for (const unsigned from : get_bits(board.pieces[SELF<White>])) {
    const unsigned from_rank = from / 8;
    for (const std::int16_t step : capture_steps) {
      const auto to = validate_move(static_cast<std::uint16_t>(from), step, 1);
      if (!to) continue;
      if (has_square(opp_mask, *to)) {
        if (from_rank == end_rank) {
          push_promotions(from, *to, moves);
        } else {
          moves.push_back(ChessMove::unchecked(from, *to, ORDINARY));
        }
      }
      // The flag alone decides: neither the target nor the pawn to be taken is examined.
      if (from_rank == enpass_rank && ((board.info >> (enpass_offset + file(*to))) & 1)) {
        moves.push_back(ChessMove::unchecked(from, *to, EN_PASSANT));
      }
    }

    const unsigned to = static_cast<std::uint16_t>(from + 8 * direction);
    if (to > 63 || has_square(occupied, to)) continue;
    if (from_rank == end_rank) {
      push_promotions(from, to, moves);
      continue;
    }
    moves.push_back(ChessMove::unchecked(from, to, ORDINARY));
    const unsigned to2 = static_cast<std::uint16_t>(from + 16 * direction);
    if (from_rank == start_rank && to2 <= 63 && !has_square(occupied, to2)) {
      moves.push_back(ChessMove::unchecked(from, to2, DOUBLE_PUSH));
    }
  }
}

template <bool White>
void MoveGenerator::magic_moves(const Board& board, Bitboard self_mask, Bitboard opp_mask,
                                std::size_t piece_type, MoveList& moves) const {
  const std::size_t kind = kind_of(piece_type);
  const Bitboard piece_mask =
      board.pieces[SELF<White> + QUEEN] | board.pieces[SELF<White> + piece_type];
  const Bitboard occupancy = self_mask | opp_mask;
  for (const unsigned from : get_bits(piece_mask)) {
    const Bitboard targets = sliding_attacks(kind, from, occupancy) & ~self_mask;
    for (const unsigned to : get_bits(targets))
      moves.push_back(ChessMove::unchecked(from, to, ORDINARY));
  }
}

template <bool White>
bool MoveGenerator::phantom_check(const Board& board) const {
  // Only a move on a square holding pieces of both colours can take the mover's own king.
  const Bitboard king = board.pieces[SELF<White> + KING];
  if (king == 0) [[unlikely]]
    throw_king_lost();
  return attacked<White>(board.pieces, static_cast<unsigned>(std::countr_zero(king)));
}

template <bool White>
void MoveGenerator::keep_legal(Board& board, MoveList& moves, std::size_t first) const {
  // Every trial starts from the same position, so the sides' unions hold for all of them.
  const Bitboard white = side_mask(board.pieces, WHITE_OFFSET);
  const Bitboard black = side_mask(board.pieces, BLACK_OFFSET);
  std::size_t kept = first;
  for (std::size_t i = first; i < moves.size(); ++i) {
    const ChessMove move = moves[i];
    bool valid_move = false;
    {
      // The trial is undone on leaving the scope, also when the test faults.
      const TrialMove trial(board, move, white, black);
      valid_move = !phantom_check<White>(board);
    }
    if (valid_move) moves[kept++] = move;
  }
  moves.truncate(kept);
}

void MoveGenerator::moves(Board& board, MoveList& legal) const {
  if (!well_formed(board.pieces)) {
    moves_by_trial(board, legal);
    return;
  }
  const std::size_t first = legal.size();
  pseudo_moves(board, legal);
  keep_legal_by_pins(*this, board, legal, first);
}

void MoveGenerator::moves_by_trial(Board& board, MoveList& legal) const {
  const bool white = board.to_move() == 1;
  if (board.pieces[white ? WHITE_KING : BLACK_KING] == 0) {
    throw Fault("The side to move has no king, so its legal moves are undefined");
  }
  const std::size_t first = legal.size();
  pseudo_moves(board, legal);
  white ? keep_legal<true>(board, legal, first) : keep_legal<false>(board, legal, first);
}

bool MoveGenerator::trial_keeps(Board& board, ChessMove move) const {
  const bool white = board.to_move() == 1;
  const TrialMove trial(board, move, side_mask(board.pieces, WHITE_OFFSET),
                        side_mask(board.pieces, BLACK_OFFSET));
  return white ? !phantom_check<true>(board) : !phantom_check<false>(board);
}

}  // namespace vorel
