#include "lib/board_python.hpp"

#include <algorithm>
#include <array>
#include <string>
#include <string_view>
#include <utility>

#include "lib/board_api.hpp"

namespace vorel::python {

namespace {

PyTypeObject* board_class = nullptr;

BoardObject* self_board(PyObject* self) { return receiver<Board>(self, board_class, "Board"); }

// Returns the 12 planes as a new list of 12 lists of 64 bools.
OwnedRef planes_to_list(const Pieces& pieces) {
  const Planes flags = planes(pieces);
  PyObject* const values[2] = {Py_False, Py_True};
  OwnedRef result(created(PyList_New(PIECE_NB)));
  for (std::size_t piece = 0; piece < PIECE_NB; ++piece) {
    PyObject* plane = created(PyList_New(SQUARE_NB));
    PyList_SET_ITEM(result.get(), piece, plane);
    for (std::size_t square = 0; square < SQUARE_NB; ++square) {
      PyList_SET_ITEM(plane, square, Py_NewRef(values[flags[piece * SQUARE_NB + square]]));
    }
  }
  return result;
}

constexpr Signature<1> NEW_SIGNATURE{"Board.__new__()", {"fen"}, 0};
constexpr Signature<1> BITBOARD_FROM_FEN_SIGNATURE{"Board.bitboard_from_fen()", {"fen"}, 1};
constexpr Signature<1> PUSH_SIGNATURE{"Board.push()", {"chess_move"}, 1};

PyObject* board_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    const auto [fen_argument] = parse(NEW_SIGNATURE, args, kwargs);
    const std::string_view fen =
        fen_argument == nullptr ? DEFAULT_FEN : text_argument(fen_argument, "fen");
    std::expected<Board, std::string> board = Board::from_fen(fen);
    if (!board) raise(PyExc_ValueError, "Invalid fen: " + board.error());
    return wrap(type, std::move(*board));
  });
}

PyObject* board_bitboard_from_fen(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
  return guarded([&] {
    const auto [fen] = parse(BITBOARD_FROM_FEN_SIGNATURE, args, nargs, kwnames);
    return planes_to_list(pieces_from_fen(text_argument(fen, "fen")));
  });
}

PyObject* board_fen(PyObject* self, PyObject*) {
  return guarded([&] {
    BoardObject* board = self_board(self);
    const SharedBorrow access = borrow<false>(board->borrow);
    // Straight into the str, made at the text's exact length.
    const Position position{board->value.pieces, board->value.info};
    PyObject* text = created(PyUnicode_New(static_cast<Py_ssize_t>(fen_length(position)), 127));
    write_fen(position, static_cast<char*>(PyUnicode_DATA(text)));
    return text;
  });
}

PyObject* board_push(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] {
    const auto [chess_move] = parse(PUSH_SIGNATURE, args, nargs, kwnames);
    BoardObject* board = self_board(self);
    const ExclusiveBorrow access = borrow<true>(board->borrow);
    const std::expected<ChessMove, std::string> move =
        ChessMove::from_str(text_argument(chess_move, "chess_move"));
    if (!move) raise(PyExc_ValueError, "Invalid chess move: " + move.error());
    board->value.push_move(*move);
    Py_RETURN_NONE;
  });
}

PyObject* board_pop(PyObject* self, PyObject*) {
  return guarded([&] {
    BoardObject* board = self_board(self);
    const ExclusiveBorrow access = borrow<true>(board->borrow);
    board->value.pop_move();
    Py_RETURN_NONE;
  });
}

PyObject* board_bitboard(PyObject* self, PyObject*) {
  return guarded([&] {
    BoardObject* board = self_board(self);
    const SharedBorrow access = borrow<false>(board->borrow);
    return planes_to_list(board->value.pieces);
  });
}

PyObject* board_turn(PyObject* self, PyObject*) {
  return guarded([&] {
    BoardObject* board = self_board(self);
    const SharedBorrow access = borrow<false>(board->borrow);
    return board->value.side_to_move() == WHITE ? new_ascii("white", 5) : new_ascii("black", 5);
  });
}

PyObject* board_reflect(PyObject* self, PyObject*) {
  return guarded([&] {
    BoardObject* board = self_board(self);
    const ExclusiveBorrow access = borrow<true>(board->borrow);
    board->value.reflect();
    Py_RETURN_NONE;
  });
}

PyObject* board_copy(PyObject* self, PyObject*) {
  return guarded([&] {
    BoardObject* board = self_board(self);
    const SharedBorrow access = borrow<false>(board->borrow);
    return wrap(board_class, std::as_const(board->value));
  });
}

PyMethodDef methods[] = {
    {"bitboard_from_fen", as_cfunction(board_bitboard_from_fen), FASTCALL | METH_STATIC,
     "bitboard_from_fen(fen)\n--\n\n"},
    {"fen", board_fen, METH_NOARGS, "fen($self)\n--\n\n"},
    {"push", as_cfunction(board_push), FASTCALL, "push($self, chess_move)\n--\n\n"},
    {"pop", board_pop, METH_NOARGS, "pop($self)\n--\n\n"},
    {"bitboard", board_bitboard, METH_NOARGS, "bitboard($self)\n--\n\n"},
    {"turn", board_turn, METH_NOARGS, "turn($self)\n--\n\n"},
    {"reflect", board_reflect, METH_NOARGS, "reflect($self)\n--\n\n"},
    {"copy", board_copy, METH_NOARGS, "copy($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

// The class doc: the text signature, whose default is DEFAULT_FEN, then an empty documentation.
constexpr std::string_view DOC_PARTS[] = {"Board(fen=\"", DEFAULT_FEN, "\")\n--\n\n"};
constexpr auto board_doc = [] {
  std::array<char, DOC_PARTS[0].size() + DOC_PARTS[1].size() + DOC_PARTS[2].size() + 1> doc{};
  char* out = doc.data();
  for (const std::string_view part : DOC_PARTS) out = std::ranges::copy(part, out).out;
  return doc;
}();

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(board_new)},
    {Py_tp_doc, const_cast<char*>(board_doc.data())},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<Board>)},
    {Py_tp_methods, methods},
    {0, nullptr},
};

PyType_Spec spec = {
    "builtins.Board", sizeof(BoardObject), 0, Py_TPFLAGS_DEFAULT, slots,
};

// Fetches ahead of `boards[i]` the parts of the board that sharing reads: the boards are far
// apart in memory, and fetching overlaps their cache misses.
constexpr std::size_t PREFETCH = 24;
void prefetch(PyObject* const* boards, std::size_t count, std::size_t i) {
  if (i + PREFETCH >= count) return;
  const auto* board = reinterpret_cast<const BoardObject*>(boards[i + PREFETCH]);
  __builtin_prefetch(board);
  __builtin_prefetch(&board->value.pieces);
  __builtin_prefetch(&board->borrow, 1);
}

std::size_t share_boards(PyObject* const* boards, std::size_t count, Position* positions,
                         ShareRefusal* refusal) {
  *refusal = ShareRefusal::NONE;
  for (std::size_t i = 0; i < count; ++i) {
    prefetch(boards, count, i);
    auto* board = reinterpret_cast<BoardObject*>(boards[i]);
    if (!board->constructed) {
      *refusal = ShareRefusal::NOT_INITIALIZED;
      return i;
    }
    if (!board->borrow.try_shared()) {
      *refusal = ShareRefusal::BORROWED;
      return i;
    }
    positions[i] = board->value;
  }
  return count;
}

void unshare_boards(PyObject* const* boards, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    prefetch(boards, count, i);
    reinterpret_cast<BoardObject*>(boards[i])->borrow.release_shared();
  }
}

BoardApi board_api_record{BOARD_API_VERSION, nullptr, share_boards, unshare_boards};

}  // namespace

void install_board_api() {
  board_api_record.board_type = board_type();
  const OwnedRef runtime(PyImport_ImportModule("vorel_chess_runtime"));
  if (!runtime) throw PythonError{};
  const OwnedRef capsule(PyCapsule_New(&board_api_record, BOARD_API_CAPSULE, nullptr));
  if (!capsule) throw PythonError{};
  if (PyObject_SetAttrString(runtime.get(), "_board_api", capsule.get()) < 0) throw PythonError{};
}

PyTypeObject* board_type() {
  if (board_class == nullptr) board_class = create_type(&spec, "Board");
  return board_class;
}

BoardObject* board_argument(PyObject* object, const char* name) {
  return checked<Board>(object, board_type(), "Board", name);
}

}  // namespace vorel::python
