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

}  // namespace vorel::python
