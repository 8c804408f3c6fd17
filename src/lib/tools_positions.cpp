// vorel_tools' functions over batches of positions: each takes vorel_chess boards and FEN texts,
// answers one question per position in the C++ core, and returns NumPy arrays.

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "lib/batch.hpp"
#include "move_generator/game_state.hpp"

namespace vorel::python {

const MoveGenerator& generator() {
  static const MoveGenerator shared;
  return shared;
}

namespace {

// --- The functions ----------------------------------------------------------------------------

constexpr std::size_t PLANE_BYTES = PIECE_NB * SQUARE_NB;

constexpr Signature<4> PLANES_SIGNATURE{
    "planes()", {"positions", "out", "errors", "threads"}, 1, 1};

// Returns why a view is not one planes() may write `rows` positions into, as the exception
// class and message, or nothing when it is: an item format other than uint8 or bool (TypeError),
// a shape other than (rows, 12, 64), a read-only or not C-contiguous array, or a length that is
// not the bytes of that shape (ValueError).
std::optional<std::pair<PyObject*, std::string>> out_problem(const Buffer& buffer,
                                                             std::size_t rows) {
  const Py_buffer& view = buffer.view;
  const std::string_view format = buffer.format();
  if (view.itemsize != 1 || (format != "B" && format != "?")) {
    std::string message = "argument 'out': expected an array of uint8 or bool, got format '";
    message += format;
    message += "'";
    return std::pair{PyExc_TypeError, std::move(message)};
  }
  const std::size_t dimensions[] = {rows, PIECE_NB, SQUARE_NB};
  bool shape_ok = view.ndim == 3 && view.shape != nullptr;
  for (int k = 0; shape_ok && k < 3; ++k)
    shape_ok = view.shape[k] >= 0 && static_cast<std::size_t>(view.shape[k]) == dimensions[k];
  if (!shape_ok) {
    std::string message = "argument 'out': expected shape (" + std::to_string(rows);
    message += ", 12, 64), got (";
    for (int k = 0; view.shape != nullptr && k < view.ndim; ++k) {
      if (k > 0) message += ", ";
      message += std::to_string(view.shape[k]);
    }
    message += view.ndim == 1 ? ",)" : ")";
    return std::pair{PyExc_ValueError, std::move(message)};
  }
  if (view.readonly) {
    return std::pair{PyExc_ValueError, std::string("argument 'out': the array is read-only")};
  }
  if (!PyBuffer_IsContiguous(&view, 'C')) {
    return std::pair{PyExc_ValueError,
                     std::string("argument 'out': the array is not C-contiguous")};
  }
  if (!buffer.holds(rows * PLANE_BYTES)) {
    std::string message = "argument 'out': its buffer holds " + std::to_string(view.len);
    message += " bytes, not the " + std::to_string(rows * PLANE_BYTES);
    message += " of its shape";
    return std::pair{PyExc_ValueError, std::move(message)};
  }
  return std::nullopt;
}

// Fills `output` with the caller's `out` and the one view it is checked and written through:
// a writable C-contiguous array of uint8 (or bool) of shape (rows, 12, 64), exactly that long.
void given_output(Output& output, PyObject* out, std::size_t rows) {
  if (!PyObject_CheckBuffer(out)) {
    raise_format(PyExc_TypeError, "argument 'out': expected a NumPy array of uint8, got '%s'",
                 Py_TYPE(out)->tp_name);
  }
  if (!output.buffer.acquire(out, PyBUF_WRITABLE | PyBUF_FORMAT | PyBUF_C_CONTIGUOUS)) {
    // Refused (read-only or not contiguous, say): a read-only look, never written through, says
    // why in the words of the checks below; else the exporter's own error stands.
    OwnedRef refusal(PyErr_GetRaisedException());
    const Buffer look(out, PyBUF_RECORDS_RO, std::nothrow);
    if (look) {
      if (const auto problem = out_problem(look, rows)) raise(problem->first, problem->second);
    }
    PyErr_SetRaisedException(refusal.release());
    throw PythonError{};
  }
  if (const auto problem = out_problem(output.buffer, rows)) raise(problem->first, problem->second);
  output.array = OwnedRef(Py_NewRef(out));
  output.shape = {rows, PIECE_NB, SQUARE_NB};
  output.given = true;
}

PyObject* tools_planes(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] {
    const auto [positions, out, errors, threads] = parse(PLANES_SIGNATURE, args, nargs, kwnames);
    const Options options = options_of(errors, threads);
    const Batch batch(positions, true);
    Output output;
    if (out != nullptr && out != Py_None) {
      given_output(output, out, batch.size());
    } else {
      new_output(output, {batch.size(), PIECE_NB, SQUARE_NB}, "uint8", PLANE_BYTES);
    }
    return fixed_rows(batch, options, output, PLANE_BYTES,
                      [](Worker&, const Position& position, std::uint8_t* row) {
                        write_planes(position.pieces, row);
                        return std::optional<std::string>();
                      });
  });
}

constexpr Signature<3> BATCH_SIGNATURE_BITBOARDS{
    "bitboards()", {"positions", "errors", "threads"}, 1, 1};
constexpr Signature<3> BATCH_SIGNATURE_IN_CHECK{
    "in_check()", {"positions", "errors", "threads"}, 1, 1};
constexpr Signature<3> BATCH_SIGNATURE_OUTCOME{
    "outcome()", {"positions", "errors", "threads"}, 1, 1};
constexpr Signature<3> BATCH_SIGNATURE_STATUS{"status()", {"positions", "errors", "threads"}, 1, 1};
constexpr Signature<3> BATCH_SIGNATURE_TURN{
    "white_to_move()", {"positions", "errors", "threads"}, 1, 1};
constexpr Signature<3> BATCH_SIGNATURE_FENS{"fens()", {"positions", "errors", "threads"}, 1, 1};
constexpr Signature<3> BATCH_SIGNATURE_LEGAL{
    "legal_moves()", {"positions", "errors", "threads"}, 1, 1};

// The body of a function with one fixed-width value per position: `width` bytes of dtype
// `dtype` per row (shape (n,) or (n, extent) when extent > 0), written by fill.
template <class Fill>
PyObject* fixed_function(const Signature<3>& signature, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames, const char* dtype, std::size_t extent,
                         std::size_t width, Fill&& fill) {
  return guarded([&] {
    const auto [positions, errors, threads] = parse(signature, args, nargs, kwnames);
    const Options options = options_of(errors, threads);
    const Batch batch(positions);
    Output output;
    new_output(output,
               extent > 0 ? std::vector<std::size_t>{batch.size(), extent}
                          : std::vector<std::size_t>{batch.size()},
               dtype, width);
    return fixed_rows(batch, options, output, width, fill);
  });
}

PyObject* tools_bitboards(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return fixed_function(BATCH_SIGNATURE_BITBOARDS, args, nargs, kwnames, "uint64", PIECE_NB,
                        sizeof(Pieces), [](Worker&, const Position& position, std::uint8_t* row) {
                          std::memcpy(row, position.pieces.data(), sizeof(Pieces));
                          return std::optional<std::string>();
                        });
}

PyObject* tools_in_check(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return fixed_function(BATCH_SIGNATURE_IN_CHECK, args, nargs, kwnames, "bool", 0, 1,
                        [](Worker&, const Position& position, std::uint8_t* row) {
                          *row = in_check(generator(), position);
                          return std::optional<std::string>();
                        });
}

PyObject* tools_outcome(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return fixed_function(
      BATCH_SIGNATURE_OUTCOME, args, nargs, kwnames, "int8", 0, 1,
      [](Worker& worker, const Position& position, std::uint8_t* row) {
        if (!has_king_to_move(position)) return std::optional<std::string>(NO_KING_TO_MOVE);
        *row = static_cast<std::uint8_t>(outcome(generator(), worker.board_at(position)));
        return std::optional<std::string>();
      });
}

PyObject* tools_status(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return fixed_function(BATCH_SIGNATURE_STATUS, args, nargs, kwnames, "uint32", 0,
                        sizeof(std::uint32_t),
                        [](Worker&, const Position& position, std::uint8_t* row) {
                          const std::uint32_t flags = status(generator(), position);
                          std::memcpy(row, &flags, sizeof flags);
                          return std::optional<std::string>();
                        });
}

PyObject* tools_white_to_move(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  return fixed_function(BATCH_SIGNATURE_TURN, args, nargs, kwnames, "bool", 0, 1,
                        [](Worker&, const Position& position, std::uint8_t* row) {
                          *row = position.info & WHITE_TO_MOVE;
                          return std::optional<std::string>();
                        });
}

PyObject* tools_fens(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] {
    const auto [positions, errors, threads] = parse(BATCH_SIGNATURE_FENS, args, nargs, kwnames);
    const Options options = options_of(errors, threads);
    const Batch batch(positions);
    // Every text into a slot of MAX_FEN bytes, then into an array as wide as the longest.
    std::vector<char> texts(batch.size() * MAX_FEN);
    std::vector<std::uint8_t> lengths(batch.size());
    std::vector<std::uint8_t> valid;
    run_rows(batch, options, valid, [&](Worker&, std::size_t i, const Position& position) {
      lengths[i] = static_cast<std::uint8_t>(write_fen(position, texts.data() + i * MAX_FEN));
      return std::optional<std::string>();
    });
    std::size_t rows = 0;
    std::size_t width = 1;
    for (std::size_t i = 0; i < valid.size(); ++i) {
      if (valid[i]) {
        ++rows;
        width = std::max<std::size_t>(width, lengths[i]);
      }
    }
    char dtype[24];
    std::snprintf(dtype, sizeof dtype, "S%zu", width);
    OwnedRef array = new_array({rows}, dtype);
    {
      Buffer buffer;
      take_new_array_view(buffer, array.get(), rows * width);
      char* out = buffer.data<char>();
      for (std::size_t i = 0; i < valid.size(); ++i) {
        if (!valid[i]) continue;
        std::memcpy(out, texts.data() + i * MAX_FEN, lengths[i]);
        std::memset(out + lengths[i], 0, width - lengths[i]);
        out += width;
      }
    }
    return with_mask(std::move(array), options, valid);
  });
}

PyObject* tools_legal_moves(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] {
    const auto [positions, errors, threads] = parse(BATCH_SIGNATURE_LEGAL, args, nargs, kwnames);
    const Options options = options_of(errors, threads);
    const Batch batch(positions);
    std::vector<std::uint8_t> valid;
    std::vector<Worker> workers =
        run_rows(batch, options, valid, [](Worker& worker, std::size_t, const Position& position) {
          if (!has_king_to_move(position)) return std::optional<std::string>(NO_KING_TO_MOVE);
          MoveList moves;
          generator().moves(worker.board_at(position), moves);
          for (const ChessMove move : moves) worker.moves.push_back(move.data);
          worker.counts.push_back(static_cast<std::int64_t>(moves.size()));
          return std::optional<std::string>();
        });
    std::size_t total = 0;
    std::size_t rows = 0;
    for (const Worker& worker : workers) {
      total += worker.moves.size();
      rows += worker.counts.size();
    }
    OwnedRef moves = new_array({total}, "uint16");
    OwnedRef offsets = new_array({rows + 1}, "int64");
    {
      Buffer move_buffer;
      Buffer offset_buffer;
      take_new_array_view(move_buffer, moves.get(), total * sizeof(std::uint16_t));
      take_new_array_view(offset_buffer, offsets.get(), (rows + 1) * sizeof(std::int64_t));
      auto* move_out = move_buffer.data<std::uint16_t>();
      auto* offset_out = offset_buffer.data<std::int64_t>();
      std::int64_t offset = 0;
      *offset_out++ = 0;
      for (const Worker& worker : workers) {
        move_out = std::ranges::copy(worker.moves, move_out).out;
        for (const std::int64_t count : worker.counts) *offset_out++ = offset += count;
      }
    }
    if (!options.skip) return created(PyTuple_Pack(2, moves.get(), offsets.get()));
    const OwnedRef mask = array_of(valid, "bool");
    return created(PyTuple_Pack(3, moves.get(), offsets.get(), mask.get()));
  });
}

constexpr Signature<1> MOVE_TEXTS_SIGNATURE{"move_texts()", {"moves"}, 1};

// Returns the text of a move word as a new str, or raises ValueError naming its index.
OwnedRef indexed_move_text(std::uint16_t word, std::size_t index) {
  ChessMove move;
  move.data = word;
  if (move.special() > PROMOTE_QUEEN) {
    raise_format(PyExc_ValueError, "move %zu: %u has no text form (special code %u)", index,
                 unsigned{word}, unsigned{move.special()});
  }
  return move_text(move);
}

// True for a view of move words that can be read as it is: one-dimensional, C-contiguous, of
// uint16 items, and exactly as long as its shape says.
bool is_word_vector(const Buffer& buffer) {
  const Py_buffer& view = buffer.view;
  const std::string_view format = buffer.format();
  return view.ndim == 1 && view.shape != nullptr && view.shape[0] >= 0 && view.itemsize == 2 &&
         (format == "H" || format == "=H" || format == "<H") && PyBuffer_IsContiguous(&view, 'C') &&
         buffer.holds(static_cast<std::size_t>(view.shape[0]) * 2);
}

PyObject* tools_move_texts(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] {
    const auto [moves] = parse(MOVE_TEXTS_SIGNATURE, args, nargs, kwnames);
    // A one-dimensional buffer of uint16 words is read directly, through the view checked;
    // anything else item by item, from a tuple of the call's own.
    if (PyObject_CheckBuffer(moves)) {
      Buffer buffer;
      if (!buffer.acquire(moves, PyBUF_FORMAT | PyBUF_C_CONTIGUOUS)) {
        // A buffer that is not one contiguous piece is read item by item; any other error of
        // the exporter stands.
        if (!PyErr_ExceptionMatches(PyExc_BufferError) &&
            !PyErr_ExceptionMatches(PyExc_ValueError) && !PyErr_ExceptionMatches(PyExc_TypeError))
          throw PythonError{};
        PyErr_Clear();
      }
      if (buffer && buffer.view.ndim == 0) {
        raise_format(PyExc_TypeError,
                     "argument 'moves': expected a sequence of move words, got a single '%s'",
                     Py_TYPE(moves)->tp_name);
      }
      if (buffer && is_word_vector(buffer)) {
        const auto count = static_cast<std::size_t>(buffer.view.shape[0]);
        const auto* words = buffer.data<const std::uint16_t>();
        OwnedRef result(created(PyList_New(static_cast<Py_ssize_t>(count))));
        for (std::size_t i = 0; i < count; ++i)
          PyList_SET_ITEM(result.get(), i, indexed_move_text(words[i], i).release());
        return result.release();
      }
    }
    const OwnedRef items = items_argument(moves, "moves", "a sequence of move words");
    const Py_ssize_t count = PyTuple_GET_SIZE(items.get());
    OwnedRef result(created(PyList_New(count)));
    for (Py_ssize_t i = 0; i < count; ++i) {
      const IndexArgument word = index_argument(PyTuple_GET_ITEM(items.get(), i), "moves", i);
      if (!word.within(0, 0xFFFF)) {
        raise_format(PyExc_ValueError, "move %zd: %R is not a 16-bit move word", i,
                     word.number.get());
      }
      PyList_SET_ITEM(
          result.get(), i,
          indexed_move_text(static_cast<std::uint16_t>(*word.value), static_cast<std::size_t>(i))
              .release());
    }
    return result.release();
  });
}

constexpr Signature<3> PERFT_SIGNATURE{"perft()", {"board", "depth", "divide"}, 2, 2};

PyObject* tools_perft(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] {
    const auto [board_argument, depth_argument, divide_argument] =
        parse(PERFT_SIGNATURE, args, nargs, kwnames);
    const Position position = position_argument(board_argument, "board");
    const IndexArgument depth_number = index_argument(depth_argument, "depth");
    const int divide = divide_argument == nullptr ? 0 : PyObject_IsTrue(divide_argument);
    if (divide < 0) throw PythonError{};
    if (!depth_number.within(0, 64)) {
      raise_format(PyExc_ValueError, "depth must be from 0 to 64, not %R",
                   depth_number.number.get());
    }
    const auto depth = static_cast<unsigned>(*depth_number.value);
    if (const std::optional<std::string> refusal =
            perft_refusal(generator(), position, depth, divide != 0))
      raise(PyExc_ValueError, *refusal);
    Board board(position.pieces, position.info);
    std::uint64_t nodes = 1;
    std::vector<std::pair<ChessMove, std::uint64_t>> counts;
    {
      const ReleasedLock released;
      if (divide) {
        counts = perft_divide(generator(), board, depth);
      } else if (depth > 0) {
        nodes = perft(generator(), board, depth);
      }
    }
    if (!divide) return created(PyLong_FromUnsignedLongLong(nodes));
    OwnedRef result(created(PyDict_New()));
    for (const auto& [move, count] : counts) {
      const OwnedRef key(move_text(move));
      const OwnedRef value(created(PyLong_FromUnsignedLongLong(count)));
      if (PyDict_SetItem(result.get(), key.get(), value.get()) < 0) throw PythonError{};
    }
    return result.release();
  });
}

template <class Function>
PyCFunction as_cfunction(Function function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

constexpr int FASTCALL = METH_FASTCALL | METH_KEYWORDS;

}  // namespace

std::span<const PyMethodDef> batch_methods() {
  // Built on first use: the module table is made during static initialisation, in another file.
  static const PyMethodDef methods[] = {
      {"planes", as_cfunction(tools_planes), FASTCALL,
       "planes(positions, *, out=None, errors='raise', threads=1)\n--\n\n"
       "Returns the piece planes of the positions (or of a uint64 bitboards array of shape\n"
       "(n, 12)) as a uint8 array of shape (n, 12, 64), the layout of Board.bitboard(); `out`\n"
       "is filled instead when given."},
      {"bitboards", as_cfunction(tools_bitboards), FASTCALL,
       "bitboards(positions, *, errors='raise', threads=1)\n--\n\n"
       "Returns the 12 piece bitboards of the positions as a uint64 array of shape (n, 12)."},
      {"legal_moves", as_cfunction(tools_legal_moves), FASTCALL,
       "legal_moves(positions, *, errors='raise', threads=1)\n--\n\n"
       "Returns (moves, offsets): the legal move words of every position in generation order,\n"
       "position i's at moves[offsets[i]:offsets[i + 1]]."},
      {"move_texts", as_cfunction(tools_move_texts), FASTCALL,
       "move_texts(moves)\n--\n\nReturns the coordinate notation of each move word."},
      {"in_check", as_cfunction(tools_in_check), FASTCALL,
       "in_check(positions, *, errors='raise', threads=1)\n--\n\n"
       "Returns a bool array: whether a king of the side to move is attacked."},
      {"outcome", as_cfunction(tools_outcome), FASTCALL,
       "outcome(positions, *, errors='raise', threads=1)\n--\n\n"
       "Returns an int8 array: ONGOING, CHECKMATE or STALEMATE for each position."},
      {"status", as_cfunction(tools_status), FASTCALL,
       "status(positions, *, errors='raise', threads=1)\n--\n\n"
       "Returns a uint32 array of STATUS_* flags: how each position breaks the rules of a\n"
       "position a game can reach (0: it does not)."},
      {"white_to_move", as_cfunction(tools_white_to_move), FASTCALL,
       "white_to_move(positions, *, errors='raise', threads=1)\n--\n\n"
       "Returns a bool array: whether white is to move."},
      {"fens", as_cfunction(tools_fens), FASTCALL,
       "fens(positions, *, errors='raise', threads=1)\n--\n\n"
       "Returns the positions as Board.fen() writes them, in an array of ASCII bytes."},
      {"perft", as_cfunction(tools_perft), FASTCALL,
       "perft(board, depth, *, divide=False)\n--\n\n"
       "Returns the number of leaves of the legal-move tree of the given depth, or with divide\n"
       "a dict of each legal move's text to the leaves below it."},
  };
  return methods;
}

void add_batch_constants(PyObject* module) {
  constexpr std::pair<const char*, long> CONSTANTS[] = {
      {"ONGOING", ONGOING},
      {"CHECKMATE", CHECKMATE},
      {"STALEMATE", STALEMATE},
      {"STATUS_VALID", 0},
      {"STATUS_NO_WHITE_KING", STATUS_NO_WHITE_KING},
      {"STATUS_NO_BLACK_KING", STATUS_NO_BLACK_KING},
      {"STATUS_TOO_MANY_KINGS", STATUS_TOO_MANY_KINGS},
      {"STATUS_PAWNS_ON_BACKRANK", STATUS_PAWNS_ON_BACKRANK},
      {"STATUS_OPPOSITE_CHECK", STATUS_OPPOSITE_CHECK},
      {"STATUS_BAD_CASTLING_RIGHTS", STATUS_BAD_CASTLING_RIGHTS},
      {"STATUS_INVALID_EP_SQUARE", STATUS_INVALID_EP_SQUARE},
      {"STATUS_OVERLAPPING_PIECES", STATUS_OVERLAPPING_PIECES},
  };
  for (const auto& [name, value] : CONSTANTS) {
    if (PyModule_AddIntConstant(module, name, value) < 0) throw PythonError{};
  }
}

}  // namespace vorel::python
