#include "lib/tools_board.hpp"

namespace vorel::python {

PyTypeObject* chess_board_type() {
  static PyTypeObject* type = nullptr;
  if (type != nullptr) return type;
  const OwnedRef chess(PyImport_ImportModule("vorel_chess"));
  if (!chess) throw PythonError{};
  OwnedRef board(PyObject_GetAttrString(chess.get(), "Board"));
  if (!board) throw PythonError{};
  // Both modules come from one build; a vorel_chess from elsewhere may lay out its boards
  // differently, and reading them would be unsafe.
  if (!PyType_Check(board.get()) ||
      reinterpret_cast<PyTypeObject*>(board.get())->tp_basicsize != sizeof(BoardObject)) {
    raise(PyExc_ImportError,
          "vorel_tools needs the vorel_chess of its own build; the one imported is different");
  }
  type = reinterpret_cast<PyTypeObject*>(board.release());  // kept for the process
  return type;
}

BoardObject* chess_board(PyObject* object, const char* name) {
  return checked<Board>(object, chess_board_type(), "Board", name);
}

Position position_argument(PyObject* object, const char* name) {
  if (PyUnicode_Check(object)) {
    const std::expected<Position, FenError> position = read_fen(text_argument(object, name));
    if (!position) raise(PyExc_ValueError, "Invalid fen: " + position.error().message);
    return *position;
  }
  if (Py_TYPE(object) != chess_board_type()) {
    raise_format(PyExc_TypeError, "argument '%s': expected Board or str, got '%s'", name,
                 Py_TYPE(object)->tp_name);
  }
  BoardObject* board = chess_board(object, name);
  const SharedBorrow access = borrow<false>(board->borrow);
  return {board->value.pieces, board->value.info};
}

}  // namespace vorel::python
