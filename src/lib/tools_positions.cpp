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

#include "encoding/side_view.hpp"
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

constexpr Signature<6> PLANES_SIGNATURE{
    "planes()", {"positions", "out", "view", "white_to_move", "errors", "threads"}, 1, 1};

// Returns true for view="side", false for "white" (and when absent); ValueError for another.
bool side_view_argument(PyObject* view) {
  if (view == nullptr) return false;
  const std::string_view value = text_argument(view, "view");
  if (value != "white" && value != "side")
    raise_format(PyExc_ValueError, "view must be 'white' or 'side', not %R", view);
  return value == "side";
}

// Returns the placement of a position in the view asked for.
Pieces viewed(const Position& position, bool side) {
  return side ? side_view(position) : position.pieces;
}

PyObject* tools_planes(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] {
    const auto [positions, out, view, white_to_move, errors, threads] =
        parse(PLANES_SIGNATURE, args, nargs, kwnames);
    return piece_planes(positions, out, view, white_to_move, errors, threads);
  });
}

constexpr Signature<4> BITBOARDS_SIGNATURE{
    "bitboards()", {"positions", "view", "errors", "threads"}, 1, 1};
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

PyObject* tools_bitboards(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] {
    const auto [positions, view, errors, threads] =
        parse(BITBOARDS_SIGNATURE, args, nargs, kwnames);
    const Options options = options_of(errors, threads);
    const bool side = side_view_argument(view);
    const Batch batch(positions);
    Output output;
    new_output(output, {batch.size(), PIECE_NB}, "uint64", sizeof(Pieces));
    return fixed_rows(batch, options, output, sizeof(Pieces),
                      [side](Worker&, const Position& position, std::uint8_t* row) {
                        const Pieces pieces = viewed(position, side);
                        std::memcpy(row, pieces.data(), sizeof(Pieces));
                        return std::optional<std::string>();
                      });
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
  return fixed_function(BATCH_SIGNATURE_OUTCOME, args, nargs, kwnames, "int8", 0, 1,
                        [](Worker&, const Position& position, std::uint8_t* row) {
                          if (!has_king_to_move(position))
                            return std::optional<std::string>(NO_KING_TO_MOVE);
                          Position board = position;
                          *row = static_cast<std::uint8_t>(outcome(generator(), board));
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
          legal_moves_of(position, moves);
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
      require_disjoint({&move_buffer, &offset_buffer});
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
  return view.ndim == 1 && view.shape != nullptr && view.shape[0] >= 0 && view.itemsize == 2 &&
         native_code(buffer) == 'H' && PyBuffer_IsContiguous(&view, 'C') &&
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

}  // namespace

OwnedRef piece_planes(PyObject* positions, PyObject* out, PyObject* view, PyObject* white_to_move,
                      PyObject* errors, PyObject* threads) {
  const Options options = options_of(errors, threads);
  const bool side = side_view_argument(view);
  const Batch batch(positions, true, white_to_move);
  if (side && !batch.sides_known()) {
    raise(PyExc_ValueError,
          "view='side' of a bitboards array needs white_to_move= (one bool or a bool per row)");
  }
  Output output;
  if (out != nullptr && out != Py_None) {
    given_output(output, out, {batch.size(), PIECE_NB, SQUARE_NB});
  } else {
    new_output(output, {batch.size(), PIECE_NB, SQUARE_NB}, "uint8", PLANE_BYTES);
  }
  return fixed_rows(batch, options, output, PLANE_BYTES,
                    [side](Worker&, const Position& position, std::uint8_t* row) {
                      write_planes(viewed(position, side), row);
                      return std::optional<std::string>();
                    });
}

std::span<const PyMethodDef> batch_methods() {
  // Built on first use: the module table is made during static initialisation, in another file.
  static const PyMethodDef methods[] = {
      {"planes", as_cfunction(tools_planes), FASTCALL,
       "planes(positions, *, out=None, view='white', white_to_move=None, errors='raise', "
       "threads=1)\n--\n\n"
       "Returns the piece planes of the positions (or of a uint64 bitboards array of shape\n"
       "(n, 12)) as a uint8 array of shape (n, 12, 64), the layout of Board.bitboard(); `out`\n"
       "is filled instead when given. With view='side', a position with Black to move is\n"
       "colour-mirrored first."},
      {"bitboards", as_cfunction(tools_bitboards), FASTCALL,
       "bitboards(positions, *, view='white', errors='raise', threads=1)\n--\n\n"
       "Returns the 12 piece bitboards of the positions as a uint64 array of shape (n, 12);\n"
       "with view='side', a position with Black to move is colour-mirrored first."},
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
