#pragma once

// Games turned into columns of numbers, one row per position of each main line (the position
// before each move), for machine learning: the placement, the game state, the move played, and
// the clock and evaluation annotations after it.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "move_generator/move_generator.hpp"
#include "notation/game_replay.hpp"
#include "notation/pgn_game.hpp"

namespace vorel {

// Where the rows go: each pointer to the first of as many rows as the batch has room for.
struct PositionColumns {
  std::uint64_t* bitboards;       // 12 per row, by piece index
  std::uint8_t* white_to_move;    // 1 when White is to move
  std::uint8_t* castling;         // bits 1 K, 2 Q, 4 k, 8 q
  std::int8_t* en_passant;        // the en-passant file as the FEN writes it, -1 for none
  std::uint16_t* halfmove_clock;  // both counters stop at 65535
  std::uint16_t* fullmove;
  std::uint16_t* move;  // the move played, as the generator lists it
  float* clock;         // "[%clk]" after the move, in seconds; NaN without one
  float* eval;          // "[%eval]" after the move, in pawns for White; NaN without
  std::int16_t* mate;   // "[%eval #n]": n, negative when Black mates; 0 without
  std::int32_t* game;   // the game's index in the batch
};

// The legal moves of rows, in generation order: each row's moves, and how many there are.
struct LegalMoveLists {
  std::vector<std::uint16_t> moves;
  std::vector<std::int64_t> counts;
};

// What replaying one game into rows found.
struct GameRows {
  std::uint32_t rows = 0;  // the rows written; none for a game that cannot be read
  GameResult result = GameResult::UNKNOWN;
  std::string error;  // empty for a game that was read
  std::string token;
};

// Replays each game and writes its positions from row first_rows[i] on (room for games[i].moves
// rows), their game index first_game + i; with `legal`, also appends the legal moves of each row
// written, in row order. A game that cannot be read writes no rows (and no legal moves).
void write_rows(const MoveGenerator& generator, std::span<const GameText> games,
                std::span<const std::size_t> first_rows, std::int32_t first_game,
                const PositionColumns& columns, LegalMoveLists* legal, std::span<GameRows> found);

// Moves the rows of the games together, in order, when some wrote fewer than they had room for;
// returns the number of rows. `first_rows` are where each game's rows start, as written.
std::size_t close_gaps(const PositionColumns& columns, std::span<const std::size_t> first_rows,
                       std::span<const GameRows> found);

}  // namespace vorel
