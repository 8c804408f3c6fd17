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

}  // namespace vorel::python
