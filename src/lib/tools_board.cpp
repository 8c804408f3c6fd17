#include "lib/tools_board.hpp"

#include <string>

namespace vorel::python {

const BoardApi& board_api() {
  static const BoardApi* api = nullptr;
  if (api != nullptr) return *api;
  // Importing vorel_chess fills the interface.
  const OwnedRef chess(PyImport_ImportModule("vorel_chess"));
  if (!chess) throw PythonError{};
  const auto* found = static_cast<const BoardApi*>(PyCapsule_Import(BOARD_API_CAPSULE, 0));
  if (found == nullptr) throw PythonError{};
  if (found->version != BOARD_API_VERSION) {
    raise(PyExc_ImportError,
          "vorel_tools needs the vorel_chess of its own build; the one imported is different");
  }
  api = found;
  return *api;
}

void SharedBoards::refuse(ShareRefusal refusal, const char* where) {
  if (refusal == ShareRefusal::BORROWED) {
    raise(PyExc_RuntimeError, borrow_error_message(BorrowError::AlreadyMutablyBorrowed).data());
  }
  raise_format(PyExc_TypeError, "%sBoard object is not initialized: it was not created by Board()",
               where);
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
  // One board: its position copied under a shared access taken and released here, with nothing
  // allocated (a call such as parse_san() is about a hundred nanoseconds in all).
  const BoardApi& api = board_api();
  Position position;
  ShareRefusal refusal = ShareRefusal::NONE;
  if (api.share(&object, 1, &position, &refusal) != 1) SharedBoards::refuse(refusal, "");
  api.unshare(&object, 1);
  return position;
}

}  // namespace vorel::python
