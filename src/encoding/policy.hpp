#pragma once

// Moves as indices into the fixed move vocabularies of policy networks, always seen from the side
// to move (ranks mirrored when Black is to move):
//
// - PolicyScheme::LC0, 1858 entries. Entries 0-1791: for each origin square a1, b1, ..., h8 in
//   turn, every destination a queen or a knight could reach from it on an empty board, in
//   ascending square order. Entries 1792-1857: the promotions from rank 7 to rank 8, by origin,
//   then destination ascending, then queen, rook, bishop. A promotion to a knight has the entry
//   of the plain move, and castling that of the king's move onto its own rook's square (e1h1,
//   e1a1).
// - PolicyScheme::AZ, 8 x 8 x 73 = 4672 entries: entry 73 * origin + type. Types 0-55 are the
//   queen-line moves, 7 * direction + distance - 1 for the directions north, north-east, east,
//   south-east, south, south-west, west, north-west and distances 1-7; types 56-63 the knight
//   jumps clockwise from north-north-east, (file, rank) steps (1, 2), (2, 1), (2, -1), (1, -2),
//   (-1, -2), (-2, -1), (-2, 1), (-1, 2); types 64-72 the promotions to a knight, bishop or rook,
//   64 + 3 * direction + piece, for the directions toward file a, straight on, toward file h
//   and the pieces knight, bishop, rook. A promotion to a queen is the queen-line move, castling
//   the king's move two squares to the side.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "chess_move/chess_move.hpp"
#include "common/types.hpp"
#include "move_generator/move_list.hpp"
#include "move_generator/primitives.hpp"

namespace vorel {

enum class PolicyScheme : std::uint8_t { LC0, AZ };

inline constexpr std::size_t LC0_POLICY_SIZE = 1858;
inline constexpr std::size_t AZ_MOVE_TYPES = 73;
inline constexpr std::size_t AZ_POLICY_SIZE = SQUARE_NB * AZ_MOVE_TYPES;

constexpr std::size_t policy_size(PolicyScheme scheme) {
  return scheme == PolicyScheme::LC0 ? LC0_POLICY_SIZE : AZ_POLICY_SIZE;
}

// What policy_index returns for a word that has no entry.
inline constexpr std::uint16_t NO_INDEX = 0xFFFF;

// Returns the squares a queen or a knight on `from` reaches on an empty board.
constexpr Bitboard queen_and_knight_targets(Square from) {
  return get_moves_from_blockers(from, 0, ROOK_DIRECTIONS) |
         get_moves_from_blockers(from, 0, BISHOP_DIRECTIONS) | KNIGHT_ATTACKS[from];
}

// LC0_MOVES[from][to]: the lc0 entry of the plain move, or NO_INDEX for none.
inline constexpr auto LC0_MOVES = [] {
  std::array<std::array<std::uint16_t, SQUARE_NB>, SQUARE_NB> table{};
  for (auto& row : table) row.fill(NO_INDEX);
  std::uint16_t next = 0;
  for (Square from = 0; from < SQUARE_NB; ++from) {
    for (Bitboard targets = queen_and_knight_targets(from); targets != 0;)
      table[from][pop_lsb(targets)] = next++;
  }
  return table;
}();

// The first lc0 promotion entry: the number of plain-move entries.
inline constexpr std::uint16_t LC0_FIRST_PROMOTION = [] {
  std::uint16_t count = 0;
  for (Square from = 0; from < SQUARE_NB; ++from)
    count += static_cast<std::uint16_t>(std::popcount(queen_and_knight_targets(from)));
  return count;
}();

// LC0_PROMOTIONS[file][step][piece]: the entry of the promotion from `file` on rank 7 to file
// file + step - 1 on rank 8, to a queen (piece 0), rook (1) or bishop (2); NO_INDEX off the board.
inline constexpr auto LC0_PROMOTIONS = [] {
  std::array<std::array<std::array<std::uint16_t, 3>, 3>, 8> table{};
  std::uint16_t next = LC0_FIRST_PROMOTION;
  for (unsigned file = FILE_A; file <= FILE_H; ++file) {
    for (unsigned step = 0; step < 3; ++step) {
      const bool on_board = file + step >= 1 && file + step - 1 <= FILE_H;
      for (unsigned piece = 0; piece < 3; ++piece)
        table[file][step][piece] = on_board ? next++ : NO_INDEX;
    }
  }
  return table;
}();
static_assert(LC0_PROMOTIONS[FILE_H][1][2] + 1 == LC0_POLICY_SIZE);

// The (file, rank) steps of the az scheme's queen-line directions and knight jumps, in type order.
struct Step {
  int file;
  int rank;
};
inline constexpr std::array<Step, 8> AZ_DIRECTIONS = {
    {{0, 1}, {1, 1}, {1, 0}, {1, -1}, {0, -1}, {-1, -1}, {-1, 0}, {-1, 1}}};
inline constexpr std::array<Step, 8> AZ_KNIGHT_JUMPS = {
    {{1, 2}, {2, 1}, {2, -1}, {1, -2}, {-1, -2}, {-2, -1}, {-2, 1}, {-1, 2}}};
inline constexpr std::uint8_t AZ_FIRST_KNIGHT = 56, AZ_FIRST_UNDERPROMOTION = 64;
inline constexpr std::uint8_t NO_TYPE = 0xFF;

// AZ_TYPES[from][to]: the az move type of the plain move, or NO_TYPE for none.
inline constexpr auto AZ_TYPES = [] {
  std::array<std::array<std::uint8_t, SQUARE_NB>, SQUARE_NB> table{};
  for (auto& row : table) row.fill(NO_TYPE);
  const auto on_board = [](int file, int rank) {
    return file >= 0 && file < 8 && rank >= 0 && rank < 8;
  };
  for (Square from = 0; from < SQUARE_NB; ++from) {
    const int file = static_cast<int>(file_of(from)), rank = static_cast<int>(rank_of(from));
    for (std::size_t direction = 0; direction < AZ_DIRECTIONS.size(); ++direction) {
      const Step step = AZ_DIRECTIONS[direction];
      for (int distance = 1; distance <= 7; ++distance) {
        const int to_file = file + distance * step.file, to_rank = rank + distance * step.rank;
        if (!on_board(to_file, to_rank)) break;
        table[from][make_square(to_file, to_rank)] =
            static_cast<std::uint8_t>(7 * direction + distance - 1);
      }
    }
    for (std::size_t jump = 0; jump < AZ_KNIGHT_JUMPS.size(); ++jump) {
      const int to_file = file + AZ_KNIGHT_JUMPS[jump].file;
      const int to_rank = rank + AZ_KNIGHT_JUMPS[jump].rank;
      if (on_board(to_file, to_rank))
        table[from][make_square(to_file, to_rank)] =
            static_cast<std::uint8_t>(AZ_FIRST_KNIGHT + jump);
    }
  }
  return table;
}();

// Returns the entry of a move word of the side `us` in the scheme, or NO_INDEX when the word has
// none: a special code above 7, a castling word other than the king's move from its home square
// to file g or c, a promotion other than a step from rank 7 to rank 8 (seen from `us`), or a move
// neither along a queen line nor a knight's jump.
constexpr std::uint16_t policy_index(PolicyScheme scheme, ChessMove move, Color us) {
  const unsigned flip = us == WHITE ? 0 : 56;
  const Square from = move.from() ^ flip;
  Square to = move.to() ^ flip;
  const unsigned code = move.special();
  const bool lc0 = scheme == PolicyScheme::LC0;
  if (code > PROMOTE_QUEEN) return NO_INDEX;
  if (code == CASTLING) {
    constexpr Square E1 = make_square(FILE_E, RANK_1);
    if (from != E1 || (file_of(to) != FILE_G && file_of(to) != FILE_C) || rank_of(to) != RANK_1)
      return NO_INDEX;
    // lc0 writes a castle as the king taking its own rook.
    if (lc0) to = file_of(to) == FILE_G ? make_square(FILE_H, RANK_1) : make_square(FILE_A, RANK_1);
  } else if (code >= PROMOTE_KNIGHT) {
    const unsigned step = file_of(to) + 1 - file_of(from);
    if (rank_of(from) != RANK_7 || rank_of(to) != RANK_8 || step > 2) return NO_INDEX;
    if (lc0 && code != PROMOTE_KNIGHT)
      return LC0_PROMOTIONS[file_of(from)][step][PROMOTE_QUEEN - code];
    if (!lc0 && code != PROMOTE_QUEEN)
      return static_cast<std::uint16_t>(AZ_MOVE_TYPES * from + AZ_FIRST_UNDERPROMOTION + 3 * step +
                                        (code - PROMOTE_KNIGHT));
  }
  if (lc0) return LC0_MOVES[from][to];
  const std::uint8_t type = AZ_TYPES[from][to];
  return type == NO_TYPE ? NO_INDEX : static_cast<std::uint16_t>(AZ_MOVE_TYPES * from + type);
}

// Marks the legal moves `legal` (of the side `us`) of a position in its legal-move mask `row`
// (policy_size(scheme) bytes, zeros on entry): 1 at the entry of each. A legal move without an
// entry is an internal fault.
void mark_legal_moves(PolicyScheme scheme, const MoveList& legal, Color us, std::uint8_t* row);

// Returns the legal move whose entry is `index`, or nothing when none is.
std::optional<ChessMove> move_of_index(PolicyScheme scheme, std::uint16_t index,
                                       const MoveList& legal, Color us);

}  // namespace vorel
