#include "board/board.hpp"

#include <bit>

namespace vorel {

Board::Board(const Pieces& placement, std::uint64_t state)
    : Position{placement, state}, zobrist(placement, state) {}

void Board::set_position(const Position& position) {
  pieces = position.pieces;
  info = position.info;
  // The history's storage stays, for the moves made next.
  if (history) {
    for (std::vector<Bitboard>& stack : history->pieces_stacks) stack.clear();
    history->move_stack.clear();
  }
  zobrist.recompute(pieces, info);
}

void throw_empty_square(std::uint16_t from) { throw Fault("No piece to move on " + square(from)); }

void throw_missing_promotion(std::uint16_t from, std::uint16_t to) {
  throw Fault("Missing promotion piece for " + square(from) + square(to));
}

void Board::push_move(ChessMove move) {
  const MoveEffect effect = effect_of(move);

  // Save every bitboard the move changes, once each: mover, captured, rook, promoted-to. NO_PIECE
  // is bit 12, cut off by the mask.
  const auto moved = static_cast<std::uint16_t>(
      (1u << effect.mover | 1u << effect.captured | 1u << effect.rook | 1u << effect.promoted) &
      ((1u << PIECE_NB) - 1));
  // Room on every stack first, so that a failed allocation leaves the board as it was.
  if (!history) [[unlikely]]
    history = std::make_unique<History>();
  auto& [pieces_stacks, move_stack] = *history;
  for (Bitboard stacks = moved; stacks != 0;) make_room(pieces_stacks[pop_lsb(stacks)]);
  make_room(move_stack);
  for (Bitboard saved = moved; saved != 0;) {
    const std::size_t piece = pop_lsb(saved);
    pieces_stacks[piece].push_back(pieces[piece]);
  }
  move_stack.push_back({info, moved});
  const std::uint64_t old_info = info;
  const std::uint64_t next = info_after(move, effect);
  move_pieces(move, effect);
  info = next;

  // The hash follows exactly the squares and info bits that changed.
  for (Bitboard saved = moved; saved != 0;) {
    const std::size_t piece = pop_lsb(saved);
    zobrist.xor_squares(piece, pieces_stacks[piece].back() ^ pieces[piece]);
  }
  zobrist.xor_info_bits(old_info ^ info);
}

void Board::pop_move() {
  if (history_size() == 0) throw Fault("No move to take back");
  auto& [pieces_stacks, move_stack] = *history;
  const MoveRecord record = move_stack.back();
  move_stack.pop_back();
  zobrist.xor_info_bits(info ^ record.info);
  info = record.info;
  for (Bitboard moved = record.moved; moved != 0;) {
    const std::size_t piece = pop_lsb(moved);
    std::vector<Bitboard>& stack = pieces_stacks[piece];
    const Bitboard saved = stack.back();
    stack.pop_back();
    zobrist.xor_squares(piece, pieces[piece] ^ saved);
    pieces[piece] = saved;
  }
}

void Board::reflect() {
  pieces = reflected_pieces(pieces);
  info = reflected_info(info);
  history.reset();
  zobrist.recompute(pieces, info);
}

Planes planes(const Pieces& pieces) {
  Planes flags;
  for (std::size_t piece = 0; piece < PIECE_NB; ++piece) {
    for (std::size_t square = 0; square < SQUARE_NB; ++square) {
      flags[piece * SQUARE_NB + square] = (pieces[piece] >> square) & 1;
    }
  }
  return flags;
}

}  // namespace vorel
