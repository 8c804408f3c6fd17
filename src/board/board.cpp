#include "board/board.hpp"

#include <bit>

namespace vorel {

namespace {

// Returns value with the bit of `source` cleared and ORed into the bit of `destination`.
constexpr Bitboard move_bit(Bitboard value, unsigned source, unsigned destination) {
  const Bitboard moving = (value >> source) & 1;
  return (value & ~square_bb(source)) | (moving << destination);
}

constexpr Bitboard delete_bit(Bitboard value, unsigned index) { return value & ~square_bb(index); }

}  // namespace

Board::Board(const Pieces& placement, std::uint64_t state)
    : zobrist(placement, state), pieces(placement), info(state) {}

std::optional<std::size_t> Board::get_piece(std::uint16_t square, std::size_t first,
                                            std::size_t last, Bitboard blockers) const {
  if (!has_square(blockers, square)) return std::nullopt;
  for (std::size_t piece = first; piece < last; ++piece) {
    if (has_square(pieces[piece], square)) return piece;
  }
  return std::nullopt;
}

void Board::push_move(ChessMove move) {
  const std::uint16_t from = move.from();
  const std::uint16_t to = move.to();
  const Bitboard blockers = occupancy();
  const std::optional<std::size_t> found = get_piece(from, 0, PIECE_NB, blockers);
  if (!found) throw Fault("No piece to move on " + square(from));
  const std::size_t mover = *found;
  const bool mover_white = mover < BLACK_OFFSET;
  const bool white_to_move = info & WHITE_TO_MOVE;
  const bool pawn = mover % 6 == PAWN;

  // Refused before anything changes: without a promotion code there is no piece to become.
  std::optional<std::size_t> promoted;
  if (pawn && (rank(to) == 0 || rank(to) == 7)) {
    const std::uint16_t code = move.special();
    if (code < PROMOTE_KNIGHT || code > PROMOTE_QUEEN) {
      throw Fault("Missing promotion piece for " + square(from) + square(to));
    }
    promoted = code + mover - 3;
  }

  // Only a piece of the opposite colour is captured; an own piece on `to` stays.
  std::optional<std::size_t> captured = mover_white ? get_piece(to, BLACK_OFFSET, PIECE_NB, blockers)
                                                    : get_piece(to, WHITE_OFFSET, BLACK_OFFSET, blockers);
  // A pawn that changes file without capturing takes en passant.
  const bool en_passant = !captured && pawn && file(from) != file(to);
  if (en_passant) captured = BLACK_PAWN - mover;
  const bool castling = mover % 6 == KING && file(from) == 4 && to % 4 == 2;
  const std::size_t rook = mover - 2;

  // Save every bitboard the move may change: mover, captured, rook, promoted-to.
  std::array<std::size_t, 4> saved{};
  std::size_t saved_count = 0;
  std::uint16_t moved = 0;
  const auto save = [&](std::size_t piece) {
    pieces_stacks[piece].push_back(pieces[piece]);
    saved[saved_count++] = piece;
    moved = static_cast<std::uint16_t>(moved | 1u << piece);
  };
  save(mover);
  if (captured) save(*captured);
  if (castling) save(rook);
  if (promoted) save(*promoted);
  move_stack.push_back({info, moved});
  const std::uint64_t old_info = info;

  pieces[mover] = move_bit(pieces[mover], from, to);
  if (en_passant) {
    // The pawn taken stands behind the target as seen from the side to move.
    const std::size_t victim = white_to_move ? BLACK_PAWN : WHITE_PAWN;
    const int victim_square = white_to_move ? to - 8 : to + 8;
    if (victim_square >= 0 && victim_square < 64) {
      pieces[victim] = delete_bit(pieces[victim], static_cast<unsigned>(victim_square));
    }
  } else if (captured) {
    pieces[*captured] = delete_bit(pieces[*captured], to);
  }
  if (castling) {
    const unsigned home = white_to_move ? 0 : 56;
    pieces[rook] = file(to) == 6 ? move_bit(pieces[rook], home + 7, home + 5)
                                 : move_bit(pieces[rook], home, home + 3);
  }
  if (promoted) {
    pieces[mover] = delete_bit(pieces[mover], to);
    pieces[*promoted] |= square_bb(to);
  }

  // A double step leaves an en-passant file for the side that moves next.
  info &= ~EN_PASSANT_MASK;
  if (mover == WHITE_PAWN && rank(to) == rank(from) + 2) {
    info |= std::uint64_t{1} << (EN_PASSANT_BLACK + file(to));
  } else if (mover == BLACK_PAWN && rank(from) == rank(to) + 2) {
    info |= std::uint64_t{1} << (EN_PASSANT_WHITE + file(to));
  }

  if (white_to_move) {
    if (mover == WHITE_KING || (mover == WHITE_ROOK && from == 7)) info &= ~CASTLE_WHITE_KING;
    if (mover == WHITE_KING || (mover == WHITE_ROOK && from == 0)) info &= ~CASTLE_WHITE_QUEEN;
  } else {
    if (mover == BLACK_KING || (mover == BLACK_ROOK && from == 63)) info &= ~CASTLE_BLACK_KING;
    if (mover == BLACK_KING || (mover == BLACK_ROOK && from == 56)) info &= ~CASTLE_BLACK_QUEEN;
  }
  if (captured && !en_passant) {
    if (*captured == WHITE_ROOK && to == 7) info &= ~CASTLE_WHITE_KING;
    if (*captured == WHITE_ROOK && to == 0) info &= ~CASTLE_WHITE_QUEEN;
    if (*captured == BLACK_ROOK && to == 63) info &= ~CASTLE_BLACK_KING;
    if (*captured == BLACK_ROOK && to == 56) info &= ~CASTLE_BLACK_QUEEN;
  }
  info ^= WHITE_TO_MOVE;

  // The hash follows exactly the squares and info bits that changed.
  for (std::size_t i = 0; i < saved_count; ++i) {
    const std::size_t piece = saved[i];
    zobrist.xor_squares(piece, pieces_stacks[piece].back() ^ pieces[piece]);
  }
  zobrist.xor_info_bits(old_info ^ info);
}

void Board::pop_move() {
  if (move_stack.empty()) throw Fault("No move to take back");
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
  // Ranks trade places (byte r with byte 7 - r) and so do the colours.
  const Pieces old = pieces;
  for (std::size_t kind = 0; kind < 6; ++kind) {
    pieces[kind] = std::byteswap(old[kind + BLACK_OFFSET]);
    pieces[kind + BLACK_OFFSET] = std::byteswap(old[kind]);
  }
  info = (~info & WHITE_TO_MOVE) | ((info >> 3) & 3) << 1 | ((info >> 1) & 3) << 3 |
         ((info >> EN_PASSANT_BLACK) & 0xFF) << EN_PASSANT_WHITE |
         ((info >> EN_PASSANT_WHITE) & 0xFF) << EN_PASSANT_BLACK | (info & ~std::uint64_t{0x1FFFFF});
  for (std::vector<Bitboard>& stack : pieces_stacks) std::vector<Bitboard>().swap(stack);
  std::vector<MoveRecord>().swap(move_stack);
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
