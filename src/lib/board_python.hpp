#pragma once

#include "board/board.hpp"
#include "lib/python_support.hpp"

namespace vorel::python {

// The Python object of a Board: the native board and its borrow flag.
using BoardObject = Wrapped<Board>;

// Returns the Board class, creating it on first use; raises PythonError if that fails.
PyTypeObject* board_type();

// Returns the board object passed for the parameter `name`, or raises TypeError naming the
// parameter when the object is not a Board or no Board constructor built it. Takes no access:
// the caller borrows.
BoardObject* board_argument(PyObject* object, const char* name);

// Fills the C-level interface through which the other modules read boards (lib/board_api.hpp)
// and leaves it in vorel_chess_runtime.
void install_board_api();

}  // namespace vorel::python
