#pragma once

// GameBatch, the arrays of a batch of games that read_games() yields: the per-position arrays
// the replay writes into, and the object built from them once it is done.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "lib/numpy_buffer.hpp"
#include "notation/game_arrays.hpp"

namespace vorel::python {

// The per-position arrays of a batch, in the order of the GameBatch attributes.
enum RowArray : std::size_t {
  BITBOARDS,
  WHITE_TO_MOVE_ROWS,
  CASTLING,
  EN_PASSANT,
  HALFMOVE_CLOCK,
  FULLMOVE,
  MOVE,
  CLOCK,
  EVAL,
  MATE,
  GAME,
  ROW_ARRAY_NB,
};

struct RowArraySpec {
  const char* name;
  const char* dtype;
  std::size_t item_size;
  std::size_t width;  // items per row
};

constexpr std::array<RowArraySpec, ROW_ARRAY_NB> ROW_ARRAYS = {{
    {"bitboards", "uint64", 8, PIECE_NB},
    {"white_to_move", "bool", 1, 1},
    {"castling", "uint8", 1, 1},
    {"en_passant", "int8", 1, 1},
    {"halfmove_clock", "uint16", 2, 1},
    {"fullmove", "uint16", 2, 1},
    {"move", "uint16", 2, 1},
    {"clock", "float32", 4, 1},
    {"eval", "float32", 4, 1},
    {"mate", "int16", 2, 1},
    {"game", "int32", 4, 1},
}};

// Returns the shape of a per-position array of `rows` rows.
inline std::vector<std::size_t> row_shape(const RowArraySpec& spec, std::size_t rows) {
  return spec.width == 1 ? std::vector<std::size_t>{rows}
                         : std::vector<std::size_t>{rows, spec.width};
}

// The games of a batch, with the arrays their positions are replayed into.
struct ReplayedGames {
  std::uint64_t first_game = 0;  // the index of its first game among all games read
  std::vector<GameText> games;
  std::vector<std::size_t> first_rows;  // where each game's rows start in the arrays
  std::vector<GameRows> found;
  std::size_t capacity = 0;  // rows of room: the games' move tokens
  std::array<NewArray, ROW_ARRAY_NB> arrays;
  PositionColumns columns{};
  std::vector<LegalMoveLists> legal;  // per part of the replay, when legal moves are asked for
};

// Makes the per-position arrays of the games (room for their move tokens).
void make_row_arrays(ReplayedGames& games);

// Returns the GameBatch of games whose replay is done.
OwnedRef game_batch(ReplayedGames& games, bool legal);

PyTypeObject* game_batch_type();

}  // namespace vorel::python
