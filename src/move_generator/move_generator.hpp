#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "board/board.hpp"
#include "move_generator/magics.hpp"
#include "move_generator/move_list.hpp"
#include "move_generator/primitives.hpp"

namespace vorel {

// Where the attack sets of one (square, kind) sit in the flat sliding table, and how an
// occupancy is turned into a key: ((occupancy & mask) * magic) >> shift.
struct SlidingEntry {
  Bitboard mask;
  std::uint64_t magic;
  std::uint32_t offset;
  std::uint32_t shift;
};

// Kinds of sliding table: entry 2 * square + kind of SLIDING_ENTRIES.
inline constexpr std::size_t ROOK_KIND = 0, BISHOP_KIND = 1;

// piece_type selects the sliding kind: 3 (rook) means rook kind, anything else bishop kind.
constexpr std::size_t kind_of(std::size_t piece_type) {
  return piece_type == ROOK ? ROOK_KIND : BISHOP_KIND;
}

// Each (square, kind) gets exactly the 2^(64 - shift) keys its multiplier can produce.
inline constexpr auto SLIDING_ENTRIES = [] {
  std::array<SlidingEntry, 2 * SQUARE_NB> entries{};
  std::uint32_t offset = 0;
  for (unsigned square = 0; square < SQUARE_NB; ++square) {
    entries[2 * square + ROOK_KIND] = {get_rook_cross(square), ROOK_MAGICS[square], offset,
                                       ROOK_SHIFTS[square] & 63u};
    offset += 1u << (64 - ROOK_SHIFTS[square]);
    entries[2 * square + BISHOP_KIND] = {get_bishop_cross(square), BISHOP_MAGICS[square], offset,
                                         BISHOP_SHIFTS[square] & 63u};
    offset += 1u << (64 - BISHOP_SHIFTS[square]);
  }
  return entries;
}();

inline constexpr std::size_t SLIDING_TABLE_SIZE =
    SLIDING_ENTRIES.back().offset + (std::size_t{1} << (64 - SLIDING_ENTRIES.back().shift));

// Returns the key of an occupancy in the table of one (square, kind).
constexpr std::size_t sliding_key(const SlidingEntry& entry, Bitboard occupancy) {
  return static_cast<std::size_t>(((occupancy & entry.mask) * entry.magic) >> entry.shift);
}

// Returns the attack sets of a slider of the given piece_type on `square` for every key of its
// table, indexed by key, walking the subsets of the entry's mask; keys no occupancy reaches
// hold 0.
std::vector<Bitboard> rook_bishop_moves(unsigned square, std::size_t piece_type);

// Returns every attack set of every (square, kind), laid out as SLIDING_ENTRIES says.
std::vector<Bitboard> populate_sliding_moves();

// Legal move generation. Holds the sliding attack tables, built once and read-only after.
class MoveGenerator {
 public:
  // The attack sets of every (square, kind), laid out as SLIDING_ENTRIES says.
  std::vector<Bitboard> sliding_moves;

  MoveGenerator();

  // Returns the rook-kind or bishop-kind attack set of `square` under `occupancy`: each ray
  // includes its first occupied square, whatever stands there.
  Bitboard sliding_attacks(std::size_t kind, unsigned square, Bitboard occupancy) const {
    const SlidingEntry& entry = SLIDING_ENTRIES[2 * square + kind];
    return sliding_moves[entry.offset + sliding_key(entry, occupancy)];
  }

  // Returns true if a piece of the side opposing `to_move` (1 = white) attacks `square`.
  bool square_in_check(const Board& board, unsigned square, std::uint64_t to_move) const {
    return square_in_check(board.pieces, square, to_move);
  }
  bool square_in_check(const Pieces& pieces, unsigned square, std::uint64_t to_move) const;

  // Appends every pseudo-legal move of the side to move: king steps and castling, knights,
  // pawns, then rook-kind and bishop-kind slider moves.
  void pseudo_moves(const Board& board, MoveList& moves) const;

  // Appends the legal moves of the side to move, in generation order: the candidates that
  // making, testing and unmaking keep. A well-formed board (see legality.hpp) gets the same list
  // from the pin-and-check test. The board comes back exactly as it was. A side to move without
  // a king is an internal fault raised before any move is made.
  void moves(Board& board, MoveList& legal) const;

  // The same list as moves, always by making, testing and unmaking every candidate.
  void moves_by_trial(Board& board, MoveList& legal) const;

  // Returns true if making `move` leaves the king of the side that made it unattacked; the
  // board comes back exactly as it was. The one-candidate step of the legality filter.
  bool trial_keeps(Board& board, ChessMove move) const;

 private:
  // The same operations with the side to move fixed at compile time (White: white to move).
  template <bool White>
  bool attacked(const Pieces& pieces, unsigned square) const;
  template <bool White>
  void generate(const Board& board, MoveList& moves) const;
  template <bool White>
  void king_moves(const Board& board, Bitboard self_mask, Bitboard opp_mask, MoveList& moves) const;
  template <bool White>
  bool can_castle(const Board& board, std::array<unsigned, 2> squares, Bitboard self_mask,
                  Bitboard opp_mask, std::optional<unsigned> queen_side) const;
  template <bool White>
  void knight_moves(const Board& board, Bitboard self_mask, MoveList& moves) const;
  template <bool White>
  void pawn_moves(const Board& board, Bitboard self_mask, Bitboard opp_mask, MoveList& moves) const;
  template <bool White>
  void magic_moves(const Board& board, Bitboard self_mask, Bitboard opp_mask,
                   std::size_t piece_type, MoveList& moves) const;
  // Returns true if, right after a move by the given side, that side's king is attacked.
  template <bool White>
  bool phantom_check(const Board& board) const;
  template <bool White>
  void keep_legal(Board& board, MoveList& moves, std::size_t first) const;
};

// Returns the number of leaf nodes of the legal-move tree of the given depth (>= 1; 0 counts
// as 1); the last ply is counted as the length of the legal-move list would be. The board comes
// back exactly as it was, also when a fault (a side to move without a king) stops the count.
std::uint64_t perft(const MoveGenerator& generator, Board& board, unsigned depth);

// Returns every legal move of the board, in generation order, with the number of leaf nodes of
// the tree of the given depth below it (1 each for depth 1 or 0).
std::vector<std::pair<ChessMove, std::uint64_t>> perft_divide(const MoveGenerator& generator,
                                                              Board& board, unsigned depth);

}  // namespace vorel
