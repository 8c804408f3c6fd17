#pragma once

#include "lib/board_python.hpp"

namespace vorel::python {

// vorel_chess's Board class as vorel_tools sees it: the very class object of the vorel_chess
// module (imported on first use) whose instances have the layout of this build's BoardObject.
// Raises ImportError if vorel_chess cannot be imported or comes from another build.
PyTypeObject* chess_board_type();

// Returns the vorel_chess board passed for the parameter `name` (for batches, a text such as
// "position 17"), or raises TypeError naming it when the object is not a Board or no Board
// constructor built it. Takes no access: the caller borrows.
BoardObject* chess_board(PyObject* object, const char* name);

// Returns the position (without history) of the argument `name`: a vorel_chess Board, read under
// a shared access, or a FEN text. Raises TypeError for anything else, and ValueError
// "Invalid fen: ..." for every way a FEN text can fail to read.
Position position_argument(PyObject* object, const char* name);

// Returns a board of the position, with no history.
inline Board board_of(const Position& position) { return Board(position.pieces, position.info); }

}  // namespace vorel::python
