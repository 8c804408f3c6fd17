// vorel_tools' notation functions: san() and parse_san() between move texts and standard
// algebraic notation.

#include <expected>
#include <string>
#include <string_view>
#include <vector>

#include "common/text.hpp"
#include "lib/tools_board.hpp"
#include "lib/tools_methods.hpp"
#include "notation/san.hpp"

namespace vorel::python {

namespace {

// Returns the move of item `index` of san()'s moves: a move text or a move word.
ChessMove move_item(PyObject* item, Py_ssize_t index) {
  if (PyUnicode_Check(item)) {
    const std::string_view text = text_argument(item, "moves");
    if (const std::optional<ChessMove> move = ChessMove::read_plain(text)) return *move;
    raise(PyExc_ValueError,
          joined({"Invalid move text: '", text, "' (moves[", std::to_string(index),
                  "]) is not a move such as e2e4 or e7e8q"}));
  }
  if (is_index(item)) {
    const IndexArgument word = index_argument(item, "moves", index);
    if (!word.within(0, 0xFFFF) || (*word.value >> 12) > PROMOTE_QUEEN) {
      raise_format(PyExc_ValueError,
                   "Invalid move word: %R (moves[%zd]) is not a 16-bit move word with a special "
                   "code up to 7",
                   word.number.get(), index);
    }
    const auto data = static_cast<unsigned>(*word.value);
    return ChessMove::unchecked(data & 63, (data >> 6) & 63, data >> 12);
  }
  raise_format(
      PyExc_TypeError,
      "argument 'moves': item %zd is '%s', expected a move text (str) or a move word (int)", index,
      Py_TYPE(item)->tp_name);
}

PyObject* san_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] {
    static constexpr Signature<2> signature{"san()", {"board", "moves"}, 2};
    const auto [board_argument, moves_argument] = parse(signature, args, nargs, kwnames);
    Position board = position_argument(board_argument, "board");
    if (PyUnicode_Check(moves_argument)) {
      raise(PyExc_TypeError, "argument 'moves': expected a list of moves, got a single 'str'");
    }
    const OwnedRef sequence = items_argument(moves_argument, "moves", "a list of moves");
    const Py_ssize_t count = PyTuple_GET_SIZE(sequence.get());
    std::vector<ChessMove> moves;
    moves.reserve(static_cast<std::size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i)
      moves.push_back(move_item(PyTuple_GET_ITEM(sequence.get(), i), i));

    const MoveGenerator& rules = generator();
    MoveList legal;
    rules.moves(board, legal);
    OwnedRef result(created(PyList_New(count)));
    for (Py_ssize_t i = 0; i < count; ++i) {
      const std::optional<ChessMove> move = find_legal(legal, moves[static_cast<std::size_t>(i)]);
      if (!move) {
        raise(PyExc_ValueError,
              joined({"Illegal move: ", moves[static_cast<std::size_t>(i)].to_string(), " (moves[",
                      std::to_string(i), "]) is not a legal move in ", board.to_fen()}));
      }
      char text[MAX_SAN];
      PyList_SET_ITEM(result.get(), i,
                      new_ascii(text, write_san(rules, board, legal, *move, text)).release());
    }
    return result.release();
  });
}

PyObject* parse_san_function(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  return guarded([&] {
    static constexpr Signature<2> signature{"parse_san()", {"board", "text"}, 2};
    const auto [board_argument, text_object] = parse(signature, args, nargs, kwnames);
    Position board = position_argument(board_argument, "board");
    const std::string_view text = text_argument(text_object, "text");
    const auto move = parse_san(generator(), board, text);
    if (!move) raise(PyExc_ValueError, san_failure_message(move.error(), text, board));
    return move_text(*move);
  });
}

}  // namespace

std::span<const PyMethodDef> notation_methods() {
  // Built on first use: the module table is made during static initialisation, in another file.
  static const PyMethodDef methods[] = {
      {"san", as_cfunction(san_function), FASTCALL,
       "san(board, moves)\n--\n\nReturns the standard algebraic notation of each legal move."},
      {"parse_san", as_cfunction(parse_san_function), FASTCALL,
       "parse_san(board, text)\n--\n\nReturns the move text of the legal move a SAN text "
       "denotes."},
  };
  return methods;
}

}  // namespace vorel::python
