#pragma once

#include <span>

#include "lib/python_support.hpp"
#include "move_generator/move_generator.hpp"

namespace vorel::python {

// The move generator of the module (tools_positions.cpp), built on first use and never changed:
// shared read-only by every call and thread.
const MoveGenerator& generator();

// The functions each binding file of vorel_tools contributes to the module, in table order.
std::span<const PyMethodDef> batch_methods();     // tools_positions.cpp: arrays over positions
std::span<const PyMethodDef> notation_methods();  // tools_notation.cpp: SAN
std::span<const PyMethodDef> pgn_methods();       // tools_pgn.cpp: the games of a PGN file
std::span<const PyMethodDef> game_methods();      // tools_games.cpp: game files to arrays
std::span<const PyMethodDef> encoding_methods();  // tools_encodings.cpp: encodings for models

// The methods of GameBatch (game_batch.cpp) that tools_encodings.cpp defines (planes, zobrist),
// ending in the sentinel.
PyMethodDef* game_batch_methods();

// Returns the piece planes of planes(): `out`, `view`, `white_to_move`, `errors` and `threads` as
// it reads them (each null when absent).
OwnedRef piece_planes(PyObject* positions, PyObject* out, PyObject* view, PyObject* white_to_move,
                      PyObject* errors, PyObject* threads);

// Adds the named constants of the batch functions (outcomes, status flags) to the module.
void add_batch_constants(PyObject* module);

// Adds the classes of tools_pgn.cpp (PgnGame, PgnReader) to the module.
void add_pgn_types(PyObject* module);

// Adds the classes of tools_games.cpp (GameReader, GameBatch) to the module.
void add_game_types(PyObject* module);

}  // namespace vorel::python
