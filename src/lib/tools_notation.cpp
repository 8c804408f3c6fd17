// vorel_tools' notation functions: san() and parse_san() between move texts and standard
// algebraic notation, and read_pgn(), an iterator over the games of a PGN file.

#include <algorithm>
#include <array>
#include <cctype>
#include <expected>
#include <string>
#include <string_view>
#include <vector>

#include "lib/game_source.hpp"
#include "lib/tools_board.hpp"
#include "lib/tools_methods.hpp"
#include "notation/game_replay.hpp"
#include "notation/san.hpp"

namespace vorel::python {

namespace {

// Returns a str of ASCII text kept for the process (the four results, the standard start).
PyObject* kept_text(std::string_view text) {
  PyObject* kept = new_ascii(text.data(), text.size()).release();
  PyUnicode_InternInPlace(&kept);
  return kept;
}

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
    Board board = board_of(position_argument(board_argument, "board"));
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
    Board board = board_of(position_argument(board_argument, "board"));
    const std::string_view text = text_argument(text_object, "text");
    const auto move = parse_san(generator(), board, text);
    if (!move) raise(PyExc_ValueError, san_failure_message(move.error(), text, board));
    return move_text(*move);
  });
}

// --- read_pgn --------------------------------------------------------------------------------

// One read_pgn() iteration: the games of its source.
struct PgnStream {
  GameSource source;
  bool closed = false;  // no more games: the input ended or close() was called
};

using PgnReaderObject = Wrapped<PgnStream>;

PyTypeObject* pgn_reader_type();

OwnedRef optional_text(std::string_view bytes) {
  return bytes.empty() ? OwnedRef(Py_NewRef(Py_None)) : decoded(bytes);
}

PyStructSequence_Field GAME_FIELDS[] = {
    {"tags", "the tags in file order, names and values as str"},
    {"fen", "the position the moves start from: the FEN tag's position, or the standard start"},
    {"moves", "the main line as move texts (e2e4, e1g1 for castling, e7e8q)"},
    {"result", "'1-0', '0-1', '1/2-1/2' or '*'"},
    {"line", "the line of the game's first tag or move text, counted from 1"},
    {"error", "None for a game that was read; else why it could not be"},
    {"token", "None for a game that was read; else the token or tag that stopped it"},
    {nullptr, nullptr},
};

PyStructSequence_Desc GAME_DESCRIPTION = {
    "vorel_tools.PgnGame",
    "One game of a PGN file, as read_pgn() yields it.",
    GAME_FIELDS,
    7,
};

// Returns the record class of read_pgn()'s games, created on first use and kept.
PyTypeObject* game_type() {
  static PyTypeObject* type = nullptr;
  if (type == nullptr) {
    type = PyStructSequence_NewType(&GAME_DESCRIPTION);
    if (type == nullptr) throw PythonError{};
  }
  return type;
}

// Keeps the moves of a game.
struct MoveList final : ReplaySink {
  std::vector<ChessMove> moves;
  void move(const Position&, const MoveCounters&, ChessMove move) override {
    moves.push_back(move);
  }
  void comment(std::string_view) override {}
};

// Returns the record of a game.
OwnedRef game_record(const GameText& game) {
  static PyObject* const start = kept_text(DEFAULT_FEN);
  MoveList sink;
  const Replay replay = replay_game(generator(), game, sink);
  OwnedRef record(created(PyStructSequence_New(game_type())));
  OwnedRef tags(created(PyDict_New()));
  for (const auto& [name, value] : game.tags) {
    const OwnedRef key = decoded(name);
    const OwnedRef text = decoded(value);
    if (PyDict_SetItem(tags.get(), key.get(), text.get()) < 0) throw PythonError{};
  }
  OwnedRef moves(created(PyList_New(static_cast<Py_ssize_t>(sink.moves.size()))));
  for (std::size_t i = 0; i < sink.moves.size(); ++i)
    PyList_SET_ITEM(moves.get(), static_cast<Py_ssize_t>(i), move_text(sink.moves[i]).release());
  const std::array<OwnedRef, 7> items = {
      std::move(tags),
      replay.fen == DEFAULT_FEN ? OwnedRef(Py_NewRef(start)) : decoded(replay.fen),
      std::move(moves),
      decoded(result_text(replay.result)),
      OwnedRef(created(PyLong_FromUnsignedLongLong(game.line))),
      optional_text(replay.error),
      optional_text(replay.token),
  };
  for (std::size_t i = 0; i < items.size(); ++i)
    PyStructSequence_SetItem(record.get(), static_cast<Py_ssize_t>(i), Py_NewRef(items[i].get()));
  return record;
}

// Ends the iteration: closes the file if read_pgn() opened it.
void close_stream(PgnStream& stream) {
  if (stream.closed) return;
  stream.closed = true;
  stream.source.close();
}

// Ends the iteration after an error of the source (its read() raised, returned neither bytes nor
// str, or a str with no UTF-8 form), leaving that error set: the game in progress is dropped, so
// that no game is built across what could not be read, and later next() calls stop at once.
void fail_stream(PgnStream& stream) {
  PyObject* error = PyErr_GetRaisedException();
  try {
    close_stream(stream);
  } catch (const PythonError&) {
    PyErr_WriteUnraisable(nullptr);  // closing the file it opened failed too
  }
  PyErr_SetRaisedException(error);
}

PyObject* pgn_next(PyObject* self) {
  return guarded([&]() -> PyObject* {
    PgnReaderObject* object = receiver<PgnStream>(self, pgn_reader_type(), "PgnReader");
    const ExclusiveBorrow access = borrow<true>(object->borrow);
    PgnStream& stream = object->value;
    if (stream.closed) return nullptr;
    std::optional<GameText> game;
    try {
      game = stream.source.next();
    } catch (const PythonError&) {
      fail_stream(stream);
      throw;
    }
    if (!game) {
      close_stream(stream);
      return nullptr;  // the end of the iteration
    }
    return game_record(*game).release();
  });
}

PyObject* pgn_close(PyObject* self, PyObject*) {
  return guarded([&] {
    PgnReaderObject* object = receiver<PgnStream>(self, pgn_reader_type(), "PgnReader");
    const ExclusiveBorrow access = borrow<true>(object->borrow);
    close_stream(object->value);
    return Py_NewRef(Py_None);
  });
}

PyObject* pgn_enter(PyObject* self, PyObject*) {
  return guarded([&] {
    receiver<PgnStream>(self, pgn_reader_type(), "PgnReader");
    return Py_NewRef(self);
  });
}

PyObject* pgn_exit(PyObject* self, PyObject* const*, Py_ssize_t) {
  return pgn_close(self, nullptr);
}

// The garbage collector sees the file object and the chunk, so that a file object that refers
// back to its reader does not keep both alive.
int pgn_reader_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  auto* object = reinterpret_cast<PgnReaderObject*>(self);
  if (!object->constructed) return 0;
  return object->value.source.traverse(visit, arg);
}

int pgn_reader_clear(PyObject* self) {
  auto* object = reinterpret_cast<PgnReaderObject*>(self);
  if (!object->constructed) return 0;
  object->value.closed = true;
  object->value.source.clear();
  return 0;
}

void pgn_reader_dealloc(PyObject* self) {
  auto* object = reinterpret_cast<PgnReaderObject*>(self);
  if (object->constructed && !object->value.closed) {
    // A reader dropped before its end still closes the file it opened.
    PyObject_GC_UnTrack(self);
    PyObject* pending = PyErr_GetRaisedException();
    PyObject* done = guarded([&] {
      close_stream(object->value);
      return Py_NewRef(Py_None);
    });
    if (done == nullptr) {
      PyErr_WriteUnraisable(self);
    } else {
      Py_DECREF(done);
    }
    PyErr_SetRaisedException(pending);
  }
  dealloc<PgnStream>(self);
}

PyMethodDef PGN_READER_METHODS[] = {
    {"close", pgn_close, METH_NOARGS,
     "close($self)\n--\n\nEnds the iteration, closing the file if read_pgn() opened it."},
    {"__enter__", pgn_enter, METH_NOARGS, "__enter__($self)\n--\n\n"},
    {"__exit__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(pgn_exit)),
     METH_FASTCALL, "__exit__($self, /, *exc_info)\n--\n\nCalls close()."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot PGN_READER_SLOTS[] = {
    {Py_tp_doc,
     const_cast<char*>("The games of a PGN file, one at a time: what read_pgn() returns.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(pgn_reader_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(pgn_reader_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(pgn_reader_clear)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(pgn_next)},
    {Py_tp_methods, PGN_READER_METHODS},
    {0, nullptr},
};

PyType_Spec PGN_READER_SPEC = {
    "vorel_tools.PgnReader",
    sizeof(PgnReaderObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    PGN_READER_SLOTS,
};

PyTypeObject* pgn_reader_type() {
  static PyTypeObject* type = nullptr;
  if (type == nullptr) type = create_type(&PGN_READER_SPEC, "PgnReader");
  return type;
}

PyObject* read_pgn_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] {
    static constexpr Signature<1> signature{"read_pgn()", {"source"}, 1};
    const auto [source] = parse(signature, args, nargs, kwnames);
    return wrap(pgn_reader_type(), PgnStream{GameSource(source, false)});
  });
}

PyMethodDef NOTATION_METHODS[] = {
    {"san", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(san_function)),
     METH_FASTCALL | METH_KEYWORDS,
     "san(board, moves)\n--\n\nReturns the standard algebraic notation of each legal move."},
    {"parse_san", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(parse_san_function)),
     METH_FASTCALL | METH_KEYWORDS,
     "parse_san(board, text)\n--\n\nReturns the move text of the legal move a SAN text denotes."},
    {"read_pgn", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(read_pgn_function)),
     METH_FASTCALL | METH_KEYWORDS,
     "read_pgn(source)\n--\n\nReturns an iterator over the games of a PGN file."},
};

}  // namespace

std::span<const PyMethodDef> notation_methods() { return NOTATION_METHODS; }

void add_notation_types(PyObject* module) {
  if (PyModule_AddObjectRef(module, "PgnGame", reinterpret_cast<PyObject*>(game_type())) < 0 ||
      PyModule_AddObjectRef(module, "PgnReader", reinterpret_cast<PyObject*>(pgn_reader_type())) <
          0)
    throw PythonError{};
}

}  // namespace vorel::python
