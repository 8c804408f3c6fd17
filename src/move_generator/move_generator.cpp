#include "move_generator/move_generator.hpp"

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
      if (!has_square(self_mask, target)) moves.push_back(ChessMove::unchecked(origin, target, ORDINARY));
    }
  }
}

void push_promotions(unsigned from, unsigned to, MoveList& moves) {
  for (const unsigned code : {PROMOTE_KNIGHT, PROMOTE_BISHOP, PROMOTE_ROOK, PROMOTE_QUEEN}) {
    moves.push_back(ChessMove::unchecked(from, to, code));
  }
}

}  // namespace

std::vector<Bitboard> rook_bishop_moves(unsigned square, Bitboard cross, std::size_t piece_type) {
  const std::size_t kind = kind_of(piece_type);
  const SlidingEntry& entry = SLIDING_ENTRIES[2 * square + kind];
  const auto& directions = kind == ROOK_KIND ? ROOK_DIRECTIONS : BISHOP_DIRECTIONS;
  std::vector<Bitboard> table(std::size_t{1} << (64 - entry.shift), 0);
  // Walks every subset of the mask in increasing order (the carry-rippler trick).
  Bitboard blockers = 0;
  do {
    const std::uint64_t key = (blockers * entry.magic) >> entry.shift;
    table[key] = get_moves_from_blockers(square, blockers, directions);
    blockers = (blockers - cross) & cross;
  } while (blockers != 0);
  return table;
}

MoveGenerator::MoveGenerator() {
  sliding_moves.reserve(SLIDING_TABLE_SIZE);
  for (unsigned square = 0; square < SQUARE_NB; ++square) {
    for (const std::size_t piece_type : {ROOK, BISHOP}) {
      const std::size_t kind = kind_of(piece_type);
      const std::vector<Bitboard> table =
          rook_bishop_moves(square, SLIDING_ENTRIES[2 * square + kind].mask, piece_type);
      sliding_moves.insert(sliding_moves.end(), table.begin(), table.end());
    }
  }
}

bool MoveGenerator::square_in_check(const Board& board, unsigned square,
                                    std::uint64_t to_move) const {
  const std::size_t offset = to_move == 1 ? BLACK_OFFSET : WHITE_OFFSET;
  const Pieces& pieces = board.pieces;
  if (KNIGHT_ATTACKS[square] & pieces[offset + KNIGHT]) return true;
  // An enemy pawn attacks the square from where an own pawn on it would capture.
  if (PAWN_ATTACKS[to_move == 1][square] & pieces[offset + PAWN]) return true;
  const Bitboard blockers = board.occupancy();
  const Bitboard queens = pieces[offset + QUEEN];
  if (sliding_attacks(ROOK_KIND, square, blockers) & (pieces[offset + ROOK] | queens)) return true;
  if (sliding_attacks(BISHOP_KIND, square, blockers) & (pieces[offset + BISHOP] | queens)) return true;
  return KING_ATTACKS[square] & pieces[offset + KING];
}

void MoveGenerator::pseudo_moves(const Board& board, MoveList& moves) const {
  const std::uint64_t to_move = board.to_move();
  const std::size_t self_offset = to_move ? WHITE_OFFSET : BLACK_OFFSET;
  const std::size_t opp_offset = to_move ? BLACK_OFFSET : WHITE_OFFSET;
  const Bitboard self_mask = side_mask(board.pieces, self_offset);
  const Bitboard opp_mask = side_mask(board.pieces, opp_offset);
  king_moves(board, self_offset, self_mask, opp_mask, to_move, moves);
  get_k_moves(board.pieces[self_offset + KNIGHT], self_mask, KNIGHT_TARGETS, moves);
  pawn_moves(board, self_offset, self_mask, opp_mask, to_move, moves);
  magic_moves(board, self_offset, self_mask, opp_mask, ROOK, moves);
  magic_moves(board, self_offset, self_mask, opp_mask, BISHOP, moves);
}

void MoveGenerator::king_moves(const Board& board, std::size_t self_offset, Bitboard self_mask,
                               Bitboard opp_mask, std::uint64_t to_move, MoveList& moves) const {
  get_k_moves(board.pieces[self_offset + KING], self_mask, KING_TARGETS, moves);
  // Castling needs the king on its home square and not in check; the rights stand for the rooks.
  const std::uint64_t info = board.info;
  if (to_move == 1) {
    if (!has_square(board.pieces[WHITE_KING], 4) || square_in_check(board, 4, 1)) return;
    if ((info & CASTLE_WHITE_KING) && can_castle(board, {5, 6}, self_mask, opp_mask, std::nullopt)) {
      moves.push_back(ChessMove::unchecked(4, 6, CASTLING));
    }
    if ((info & CASTLE_WHITE_QUEEN) && can_castle(board, {2, 3}, self_mask, opp_mask, 1)) {
      moves.push_back(ChessMove::unchecked(4, 2, CASTLING));
    }
  } else {
    if (!has_square(board.pieces[BLACK_KING], 60) || square_in_check(board, 60, 0)) return;
    if ((info & CASTLE_BLACK_KING) && can_castle(board, {61, 62}, self_mask, opp_mask, std::nullopt)) {
      moves.push_back(ChessMove::unchecked(60, 62, CASTLING));
    }
    if ((info & CASTLE_BLACK_QUEEN) && can_castle(board, {58, 59}, self_mask, opp_mask, 57)) {
      moves.push_back(ChessMove::unchecked(60, 58, CASTLING));
    }
  }
}

bool MoveGenerator::can_castle(const Board& board, std::array<unsigned, 2> squares,
                               Bitboard self_mask, Bitboard opp_mask,
                               std::optional<unsigned> queen_side) const {
  const Bitboard blockers = self_mask | opp_mask;
  for (const unsigned square : squares) {
    if (has_square(blockers, square) || square_in_check(board, square, board.to_move())) return false;
  }
  // The square next to the queen-side rook must be empty but may be attacked.
  return !(queen_side && has_square(blockers, *queen_side));
}

void MoveGenerator::pawn_moves(const Board& board, std::size_t offset, Bitboard self_mask,
                               Bitboard opp_mask, std::uint64_t to_move, MoveList& moves) const {
  const bool white = to_move == 1;
  const int direction = white ? 1 : -1;
  const unsigned start_rank = white ? 1 : 6;
  const unsigned end_rank = white ? 6 : 1;
  const unsigned enpass_rank = white ? 4 : 3;
  const unsigned enpass_offset = white ? EN_PASSANT_WHITE : EN_PASSANT_BLACK;
  const Bitboard occupied = self_mask ^ opp_mask;
  const std::array<std::int16_t, 2> capture_steps = {static_cast<std::int16_t>(7 * direction),
                                                      static_cast<std::int16_t>(9 * direction)};

  for (const unsigned from : get_bits(board.pieces[offset])) {
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

void MoveGenerator::magic_moves(const Board& board, std::size_t offset, Bitboard self_mask,
                                Bitboard opp_mask, std::size_t piece_type, MoveList& moves) const {
  const std::size_t kind = kind_of(piece_type);
  const Bitboard piece_mask = board.pieces[offset + QUEEN] | board.pieces[offset + piece_type];
  const Bitboard occupancy = self_mask | opp_mask;
  for (const unsigned from : get_bits(piece_mask)) {
    const Bitboard targets = sliding_attacks(kind, from, occupancy) & ~self_mask;
    for (const unsigned to : get_bits(targets)) moves.push_back(ChessMove::unchecked(from, to, ORDINARY));
  }
}

bool MoveGenerator::phantom_check(const Board& board) const {
  const std::uint64_t to_move = board.to_move();
  const Bitboard king = board.pieces[to_move == 0 ? WHITE_KING : BLACK_KING];
  if (king == 0) throw Fault("The side that moved has no king");
  return square_in_check(board, static_cast<unsigned>(std::countr_zero(king)), to_move ^ 1);
}

void MoveGenerator::moves(Board& board, MoveList& legal) const {
  if (board.pieces[board.to_move() ? WHITE_KING : BLACK_KING] == 0) {
    throw Fault("The side to move has no king, so its legal moves are undefined");
  }
  const std::size_t first = legal.size();
  pseudo_moves(board, legal);
  std::size_t kept = first;
  for (std::size_t i = first; i < legal.size(); ++i) {
    const ChessMove move = legal[i];
    board.push_move(move);
    const bool valid_move = !phantom_check(board);
    board.pop_move();
    if (valid_move) legal[kept++] = move;
  }
  legal.truncate(kept);
}

std::uint64_t perft(const MoveGenerator& generator, Board& board, unsigned depth) {
  MoveList moves;
  generator.moves(board, moves);
  if (depth <= 1) return moves.size();
  std::uint64_t nodes = 0;
  for (const ChessMove move : moves) {
    board.push_move(move);
    nodes += perft(generator, board, depth - 1);
    board.pop_move();
  }
  return nodes;
}

}  // namespace vorel
