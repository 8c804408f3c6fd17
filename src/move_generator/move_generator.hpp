#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
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

// Returns the squares the side to move Us may take en passant onto, as the info word flags them:
// one square on its sixth rank per flagged file. Neither the square nor the pawn to be taken is
// examined.
template <Color Us>
constexpr Bitboard en_passant_targets(std::uint64_t info) {
  const Bitboard files = (info >> en_passant_group(Us)) & EN_PASSANT_FILES;
  return files << (8 * relative_rank(Us, RANK_6));
}

// The castles a side may make, as bits.
enum Castles : unsigned { KING_SIDE_CASTLE = 1, QUEEN_SIDE_CASTLE = 2 };

// Legal move generation. Holds the sliding attack tables, built once and read-only after.
class MoveGenerator {
 public:
  // The attack sets of every (square, kind), laid out as SLIDING_ENTRIES says.
  std::vector<Bitboard> sliding_moves;

  MoveGenerator();

  // Returns the rook-kind or bishop-kind attack set of `square` under `occupancy`: each ray
  // includes its first occupied square, whatever stands there.
  Bitboard sliding_attacks(std::size_t kind, Square square, Bitboard occupancy) const {
    const SlidingEntry& entry = SLIDING_ENTRIES[2 * square + kind];
    return sliding_moves[entry.offset + sliding_key(entry, occupancy)];
  }

  // The attack test: returns true if a piece of the side opposing Us attacks `square`, rays
  // being stopped by the squares of `occupied`.
  template <Color Us>
  bool attacked(const Pieces& pieces, Square square, Bitboard occupied) const;

  // Returns true if a piece of the side opposing `color` attacks `square` on these pieces.
  bool square_in_check(const Pieces& pieces, Square square, Color color) const;

  // Returns the castles the side Us may make (Castles bits): its king on its home square and not
  // attacked, the right held, the squares between king and rook empty, and the squares the king
  // crosses and lands on not attacked. The rights stand for the rooks, which are not looked at.
  // `occupied`: the occupied squares. With KingSafe the caller vouches that the king is not
  // attacked, and that test is left out.
  template <Color Us, bool KingSafe = false>
  unsigned castles(const Position& position, Bitboard occupied) const;

  // Appends every pseudo-legal move of the side to move: king steps and castling, knights,
  // pawns, then rook-kind and bishop-kind slider moves.
  void pseudo_moves(const Position& position, MoveList& moves) const;

  // Appends the legal moves of the side to move, in generation order: the candidates that
  // making, testing and unmaking keep. A well-formed position (see legality.hpp) gets the same
  // list from the pin-and-check test. The position comes back exactly as it was. A side to move
  // without a king is an internal fault raised before any move is made.
  void moves(Position& position, MoveList& legal) const;

  // The same list as moves, always by making, testing and unmaking every candidate.
  void moves_by_trial(Position& position, MoveList& legal) const;

  // Returns true if making `move` leaves the king of the side that made it unattacked; the
  // position comes back exactly as it was. The one-candidate step of the legality filter.
  bool trial_keeps(Position& position, ChessMove move) const;

  // The test of that step: returns true if, in the position right after a move, the king of the
  // side that made it is attacked. A side without a king there is an internal fault.
  bool mover_in_check(const Position& after) const {
    return after.side_to_move() == WHITE ? phantom_check<BLACK>(after)
                                         : phantom_check<WHITE>(after);
  }

 private:
  // The same operations with the side to move fixed at compile time.
  template <Color Us>
  void generate(const Position& position, MoveList& moves) const;
  template <Color Us>
  void king_moves(const Position& position, Bitboard self_mask, Bitboard occupied,
                  MoveList& moves) const;
  template <Color Us>
  void pawn_moves(const Position& position, Bitboard opp_mask, MoveList& moves) const;
  template <Color Us>
  void magic_moves(const Position& position, Bitboard self_mask, Bitboard occupied,
                   std::size_t piece_type, MoveList& moves) const;
  // Returns true if, right after a move by the side Us, that side's king is attacked.
  template <Color Us>
  bool phantom_check(const Position& position) const;
  template <Color Us>
  void keep_legal(Position& position, MoveList& moves, std::size_t first) const;
};

template <Color Us>
inline bool MoveGenerator::attacked(const Pieces& pieces, Square square, Bitboard occupied) const {
  constexpr std::size_t them = piece_offset(~Us);
  if (KNIGHT_ATTACKS[square] & pieces[them + KNIGHT]) return true;
  // An enemy pawn attacks the square from where an own pawn on it would capture.
  if (PAWN_ATTACKS[Us][square] & pieces[them + PAWN]) return true;
  const Bitboard queens = pieces[them + QUEEN];
  if (sliding_attacks(ROOK_KIND, square, occupied) & (pieces[them + ROOK] | queens)) return true;
  if (sliding_attacks(BISHOP_KIND, square, occupied) & (pieces[them + BISHOP] | queens))
    return true;
  return KING_ATTACKS[square] & pieces[them + KING];
}

template <Color Us, bool KingSafe>
[[gnu::always_inline]] inline unsigned MoveGenerator::castles(const Position& position,
                                                              Bitboard occupied) const {
  constexpr Square king = make_square(FILE_E, relative_rank(Us, RANK_1));
  const Pieces& pieces = position.pieces;
  // The squares between king and rook must be empty; the ones the king crosses and lands on must
  // not be attacked either (on the queen side the square next to the rook may be).
  const bool king_side = (position.info & king_side_right(Us)) &&
                         !(occupied & (square_bb(king + 1) | square_bb(king + 2)));
  const bool queen_side =
      (position.info & queen_side_right(Us)) &&
      !(occupied & (square_bb(king - 1) | square_bb(king - 2) | square_bb(king - 3)));
  if (!(king_side || queen_side) || !has_square(pieces[make_piece(Us, KING)], king) ||
      (!KingSafe && attacked<Us>(pieces, king, occupied))) {
    return 0;
  }
  unsigned found = 0;
  if (king_side && !attacked<Us>(pieces, king + 1, occupied) &&
      !attacked<Us>(pieces, king + 2, occupied))
    found |= KING_SIDE_CASTLE;
  if (queen_side && !attacked<Us>(pieces, king - 1, occupied) &&
      !attacked<Us>(pieces, king - 2, occupied))
    found |= QUEEN_SIDE_CASTLE;
  return found;
}

// The message of a position whose legal moves are not defined: its side to move has no king.
inline constexpr std::string_view NO_KING_TO_MOVE = "the side to move has no king";

// Returns true when the side to move has a king: the legal moves are defined.
constexpr bool has_king_to_move(const Position& position) {
  return position.pieces[make_piece(position.side_to_move(), KING)] != 0;
}

// Returns why perft cannot count the tree of `depth` plies (with `divide`, per root move) from
// the position, or nothing when it can: divide with depth 0, a side to move without a king, or
// (from depth 2) a side not to move without a king or in check, whose king a move could take.
std::optional<std::string> perft_refusal(const MoveGenerator& generator, const Position& position,
                                         unsigned depth, bool divide);

// Returns the number of leaf nodes of the legal-move tree of the given depth (>= 1; 0 counts
// as 1); the last ply is counted as the length of the legal-move list would be. The board comes
// back exactly as it was, also when a fault (a side to move without a king) stops the count.
std::uint64_t perft(const MoveGenerator& generator, Board& board, unsigned depth);

// Returns every legal move of the board, in generation order, with the number of leaf nodes of
// the tree of the given depth below it (1 each for depth 1 or 0).
std::vector<std::pair<ChessMove, std::uint64_t>> perft_divide(const MoveGenerator& generator,
                                                              Board& board, unsigned depth);

}  // namespace vorel
