#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>

#include "board/board.hpp"
#include "move_generator/move_generator.hpp"
#include "move_generator/move_list.hpp"

namespace vorel {

// Per pair of squares on one rank, file or diagonal: LINES holds the whole line through both,
// edge to edge, and BETWEEN the squares strictly between them. Both are 0 for other pairs.
struct LineTables {
  std::array<std::array<Bitboard, SQUARE_NB>, SQUARE_NB> lines;
  std::array<std::array<Bitboard, SQUARE_NB>, SQUARE_NB> between;
};

inline constexpr LineTables LINE_TABLES = [] {
  LineTables tables{};
  // Returns the squares from `square` (exclusive) to the edge in one direction.
  const auto ray = [](std::uint16_t square, std::int16_t step) {
    Bitboard squares = 0;
    for (auto next = validate_move(square, step, 1); next; next = validate_move(*next, step, 1))
      squares |= square_bb(*next);
    return squares;
  };
  for (std::uint16_t from = 0; from < SQUARE_NB; ++from) {
    for (const std::int16_t step : KING_DIRECTIONS) {
      const Bitboard line =
          ray(from, step) | ray(from, static_cast<std::int16_t>(-step)) | square_bb(from);
      Bitboard passed = 0;
      for (auto to = validate_move(from, step, 1); to; to = validate_move(*to, step, 1)) {
        tables.lines[from][*to] = line;
        tables.between[from][*to] = passed;
        passed |= square_bb(*to);
      }
    }
  }
  return tables;
}();

// Returns true when each side has exactly one king and no square holds two pieces: the boards
// on which the pin-and-check test decides every move exactly as making and unmaking it does.
constexpr bool well_formed(const Pieces& pieces) {
  Bitboard seen = 0;
  Bitboard shared = 0;
  for (const Bitboard b : pieces) {
    shared |= seen & b;
    seen |= b;
  }
  // Without a population count, which some targets lack.
  const auto one = [](Bitboard b) { return b != 0 && (b & (b - 1)) == 0; };
  return shared == 0 && one(pieces[WHITE_KING]) && one(pieces[BLACK_KING]);
}

// Keeps, of moves[first..], those that do not leave the king of the side to move attacked, in
// order, on a well-formed position: from the checkers and pinned pieces of that king, computed
// once, and the make, test and unmake of the legality filter for en-passant-coded moves only.
// The board comes back exactly as it was.
void keep_legal_by_pins(const MoveGenerator& generator, Position& position, MoveList& moves,
                        std::size_t first);

// Returns the number of legal moves of the side to move: the length of the list
// MoveGenerator::moves gives, with the same faults, counted without building the list on
// well-formed boards. The board comes back exactly as it was.
std::size_t count_moves(const MoveGenerator& generator, Position& position);

}  // namespace vorel
