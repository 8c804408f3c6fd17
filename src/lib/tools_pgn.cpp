// vorel_tools.read_pgn(): an iterator over the games of a PGN file, each as a record of its tags,
// start position, main line as move texts, result and what stopped it if it could not be read.

#include <array>
#include <optional>
#include <string_view>
#include <vector>

#include "lib/game_source.hpp"
#include "lib/reader_type.hpp"
#include "lib/tools_methods.hpp"
#include "notation/game_replay.hpp"

namespace vorel::python {

namespace {

// Returns a str of ASCII text kept for the process (the standard start).
PyObject* kept_text(std::string_view text) {
  PyObject* kept = new_ascii(text.data(), text.size()).release();
  PyUnicode_InternInPlace(&kept);
  return kept;
}

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

// Keeps the moves of a game's main line.
struct MainLine final : ReplaySink {
  std::vector<ChessMove> moves;
  void move(const Position&, const MoveCounters&, ChessMove move) override {
    moves.push_back(move);
  }
  void comment(std::string_view) override {}
};

// Returns the record of a game.
OwnedRef game_record(const GameText& game) {
  static PyObject* const start = kept_text(DEFAULT_FEN);
  MainLine line;
  const Replay replay = replay_game(generator(), game, line);
  OwnedRef record(created(PyStructSequence_New(game_type())));
  OwnedRef moves(created(PyList_New(static_cast<Py_ssize_t>(line.moves.size()))));
  for (std::size_t i = 0; i < line.moves.size(); ++i)
    PyList_SET_ITEM(moves.get(), static_cast<Py_ssize_t>(i), move_text(line.moves[i]).release());
  const std::array<OwnedRef, 7> items = {
      tags_dict(game.tags),
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

// One read_pgn() iteration: the games of its source.
class PgnStream {
 public:
  static constexpr const char* NAME = "PgnReader";
  static constexpr const char* QUALIFIED_NAME = "vorel_tools.PgnReader";
  static constexpr const char* DOC =
      "The games of a PGN file, one at a time: what read_pgn() returns.";
  static constexpr const char* CLOSE_DOC =
      "close($self)\n--\n\nEnds the iteration, closing the file if read_pgn() opened it.";

  explicit PgnStream(GameSource source) : source_(std::move(source)) {}

  OwnedRef next() {
    if (closed_) return OwnedRef();
    std::optional<GameText> game;
    try {
      game = source_.next();
    } catch (const PythonError&) {
      fail();
      throw;
    }
    if (!game) {
      close();
      return OwnedRef();
    }
    return game_record(*game);
  }

  // Ends the iteration: closes the file if read_pgn() opened it.
  void close() {
    if (closed_) return;
    closed_ = true;
    source_.close();
  }

  bool closed() const { return closed_; }

  std::optional<long long> bytes_read() const { return source_.bytes_read(); }
  int traverse(visitproc visit, void* arg) const { return source_.traverse(visit, arg); }
  void clear() {
    closed_ = true;
    source_.clear();
  }

 private:
  // Ends the iteration after an error of the source (its read() raised, returned neither bytes
  // nor str, or a str with no UTF-8 form), leaving that error set: the game in progress is
  // dropped, so that no game is built across what could not be read, and later next() calls stop
  // at once.
  void fail() {
    OwnedRef error(PyErr_GetRaisedException());
    try {
      close();
    } catch (const PythonError&) {
      PyErr_WriteUnraisable(nullptr);  // closing the file it opened failed too
    }
    PyErr_SetRaisedException(error.release());
  }

  GameSource source_;
  bool closed_ = false;  // no more games: the input ended or close() was called
};

PyObject* read_pgn_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] {
    static constexpr Signature<1> signature{"read_pgn()", {"source"}, 1};
    const auto [source] = parse(signature, args, nargs, kwnames);
    return wrap(reader_type<PgnStream>(), PgnStream(GameSource(source, false)));
  });
}

}  // namespace

std::span<const PyMethodDef> pgn_methods() {
  // Built on first use: the module table is made during static initialisation, in another file.
  static const PyMethodDef methods[] = {
      {"read_pgn", as_cfunction(read_pgn_function), FASTCALL,
       "read_pgn(source)\n--\n\nReturns an iterator over the games of a PGN file."},
  };
  return methods;
}

void add_pgn_types(PyObject* module) {
  if (PyModule_AddObjectRef(module, "PgnGame", reinterpret_cast<PyObject*>(game_type())) < 0 ||
      PyModule_AddObjectRef(module, "PgnReader",
                            reinterpret_cast<PyObject*>(reader_type<PgnStream>())) < 0)
    throw PythonError{};
}

}  // namespace vorel::python
