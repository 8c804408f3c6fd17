// vorel_tools' encodings for models: moves as policy indices and back, legal-move masks, and the
// Polyglot position key, over batches of positions; and the GameBatch methods that give the planes
// and keys of a batch's positions.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "encoding/policy.hpp"
#include "encoding/polyglot.hpp"
#include "lib/batch.hpp"

namespace vorel::python {

namespace {

// Returns the scheme a `scheme` argument names: "lc0" or "az"; ValueError for another text.
PolicyScheme scheme_argument(PyObject* scheme) {
  const std::string_view name = text_argument(scheme, "scheme");
  if (name == "lc0") return PolicyScheme::LC0;
  if (name == "az") return PolicyScheme::AZ;
  raise_format(PyExc_ValueError, "scheme must be 'lc0' or 'az', not %R", scheme);
}

constexpr const char* scheme_name(PolicyScheme scheme) {
  return scheme == PolicyScheme::LC0 ? "lc0" : "az";
}

constexpr Signature<3> MOVE_INDEX_SIGNATURE{
    "move_index()", {"moves", "white_to_move", "scheme"}, 3, 2};

PyObject* tools_move_index(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] {
    const auto [moves, white_to_move, scheme_text] =
        parse(MOVE_INDEX_SIGNATURE, args, nargs, kwnames);
    const PolicyScheme scheme = scheme_argument(scheme_text);
    const std::vector<std::int64_t> words =
        integers_argument(moves, "moves", "a sequence of move words");
    const std::vector<std::uint8_t> white =
        flags_argument(white_to_move, "white_to_move", words.size());
    std::vector<std::int64_t> indices(words.size());
    for (std::size_t i = 0; i < words.size(); ++i) {
      if (words[i] < 0 || words[i] > 0xFFFF) {
        raise_format(PyExc_ValueError, "move %zu: %lld is not a 16-bit move word", i,
                     static_cast<long long>(words[i]));
      }
      ChessMove move;
      move.data = static_cast<std::uint16_t>(words[i]);
      const std::uint16_t index = policy_index(scheme, move, white[i] ? WHITE : BLACK);
      if (index == NO_INDEX) {
        const std::string text = move.special() <= PROMOTE_QUEEN
                                     ? move.to_string()
                                     : "special code " + std::to_string(move.special());
        raise_format(
            PyExc_ValueError, "move %zu: %u (%s, %s to move) has no entry in the %s scheme", i,
            unsigned{move.data}, text.c_str(), white[i] ? "White" : "Black", scheme_name(scheme));
      }
      indices[i] = index;
    }
    return array_of(indices, "int64").release();
  });
}

constexpr Signature<5> INDEX_MOVE_SIGNATURE{
    "index_move()", {"indices", "positions", "scheme", "errors", "threads"}, 3, 2};

PyObject* tools_index_move(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] {
    const auto [indices_argument, positions, scheme_text, errors, threads] =
        parse(INDEX_MOVE_SIGNATURE, args, nargs, kwnames);
    const PolicyScheme scheme = scheme_argument(scheme_text);
    const Options options = options_of(errors, threads);
    const std::vector<std::int64_t> indices =
        integers_argument(indices_argument, "indices", "a sequence of indices");
    const Batch batch(positions);
    if (indices.size() != batch.size()) {
      raise_format(PyExc_ValueError, "argument 'indices': %zu indices for %zu positions",
                   indices.size(), batch.size());
    }
    const auto size = static_cast<std::int64_t>(policy_size(scheme));
    for (std::size_t i = 0; i < indices.size(); ++i) {
      if (indices[i] < 0 || indices[i] >= size) {
        raise_format(PyExc_ValueError,
                     "position %zu: index %lld is outside the %s scheme (0 to %lld)", i,
                     static_cast<long long>(indices[i]), scheme_name(scheme),
                     static_cast<long long>(size - 1));
      }
    }
    std::vector<std::uint16_t> words(batch.size());
    std::vector<std::uint8_t> valid;
    run_rows(batch, options, valid,
             [&](Worker&, std::size_t i, const Position& position) -> std::optional<std::string> {
               if (!has_king_to_move(position)) return std::string(NO_KING_TO_MOVE);
               MoveList legal;
               legal_moves_of(position, legal);
               const std::optional<ChessMove> move = move_of_index(
                   scheme, static_cast<std::uint16_t>(indices[i]), legal, position.side_to_move());
               if (!move) {
                 return "index " + std::to_string(indices[i]) + " of the " + scheme_name(scheme) +
                        " scheme is no legal move of the position";
               }
               words[i] = move->data;
               return std::nullopt;
             });
    if (options.skip) {
      // The rows that read, in order.
      std::size_t kept = 0;
      for (std::size_t i = 0; i < words.size(); ++i) {
        if (valid[i]) words[kept++] = words[i];
      }
      words.resize(kept);
    }
    return with_mask(array_of(words, "uint16"), options, valid);
  });
}

constexpr Signature<5> LEGAL_MASK_SIGNATURE{
    "legal_mask()", {"positions", "scheme", "out", "errors", "threads"}, 2, 1};

PyObject* tools_legal_mask(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] {
    const auto [positions, scheme_text, out, errors, threads] =
        parse(LEGAL_MASK_SIGNATURE, args, nargs, kwnames);
    const PolicyScheme scheme = scheme_argument(scheme_text);
    const Options options = options_of(errors, threads);
    const Batch batch(positions);
    const std::size_t size = policy_size(scheme);
    Output output;
    if (out != nullptr && out != Py_None) {
      given_output(output, out, {batch.size(), size});
    } else {
      // Zeros from fresh pages, which the system zeroes as they are first written: each row is
      // then written once, its ones alone.
      new_output(output, {batch.size(), size}, "bool", size, true);
    }
    const bool clear = output.given;
    return fixed_rows(batch, options, output, size,
                      [scheme, size, clear](Worker&, const Position& position,
                                            std::uint8_t* row) -> std::optional<std::string> {
                        if (!has_king_to_move(position)) return std::string(NO_KING_TO_MOVE);
                        // The row's lines are asked for while the moves are generated: its ones
                        // land on scattered lines of memory just zeroed, else missed one by one.
                        for (std::size_t line = 0; line < size; line += 64)
                          __builtin_prefetch(row + line, 1);
                        // Written straight from the generator's list into the row.
                        MoveList legal;
                        legal_moves_of(position, legal);
                        if (clear) std::memset(row, 0, size);
                        mark_legal_moves(scheme, legal, position.side_to_move(), row);
                        return std::nullopt;
                      });
  });
}

// Returns the Polyglot keys of the positions, as zobrist() does.
OwnedRef polyglot_keys(PyObject* positions, PyObject* errors, PyObject* threads) {
  const Options options = options_of(errors, threads);
  const Batch batch(positions);
  Output output;
  new_output(output, {batch.size()}, "uint64", sizeof(std::uint64_t));
  return fixed_rows(batch, options, output, sizeof(std::uint64_t),
                    [](Worker&, const Position& position, std::uint8_t* row) {
                      const std::uint64_t key = polyglot_key(position);
                      std::memcpy(row, &key, sizeof key);
                      return std::optional<std::string>();
                    });
}

constexpr Signature<3> ZOBRIST_SIGNATURE{"zobrist()", {"positions", "errors", "threads"}, 1, 1};

PyObject* tools_zobrist(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] {
    const auto [positions, errors, threads] = parse(ZOBRIST_SIGNATURE, args, nargs, kwnames);
    return polyglot_keys(positions, errors, threads);
  });
}

// --- GameBatch methods --------------------------------------------------------------------------

constexpr Signature<3> BATCH_PLANES_SIGNATURE{
    "GameBatch.planes()", {"view", "out", "threads"}, 0, 1};

PyObject* batch_planes(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] {
    const auto [view, out, threads] = parse(BATCH_PLANES_SIGNATURE, args, nargs, kwnames);
    return piece_planes(self, out, view, nullptr, nullptr, threads);
  });
}

constexpr Signature<1> BATCH_ZOBRIST_SIGNATURE{"GameBatch.zobrist()", {"threads"}, 0, 0};

PyObject* batch_zobrist(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  return guarded([&] {
    const auto [threads] = parse(BATCH_ZOBRIST_SIGNATURE, args, nargs, kwnames);
    return polyglot_keys(self, nullptr, threads);
  });
}

}  // namespace

std::span<const PyMethodDef> encoding_methods() {
  static const PyMethodDef methods[] = {
      {"move_index", as_cfunction(tools_move_index), FASTCALL,
       "move_index(moves, white_to_move, *, scheme)\n--\n\n"
       "Returns the index of each move word in the policy scheme ('lc0' or 'az'), seen from\n"
       "the side to move, as an int64 array."},
      {"index_move", as_cfunction(tools_index_move), FASTCALL,
       "index_move(indices, positions, *, scheme, errors='raise', threads=1)\n--\n\n"
       "Returns, for each row, the legal move word of the position that the policy index\n"
       "denotes, as a uint16 array."},
      {"legal_mask", as_cfunction(tools_legal_mask), FASTCALL,
       "legal_mask(positions, *, scheme, out=None, errors='raise', threads=1)\n--\n\n"
       "Returns a bool array of shape (n, size of the scheme): the entries of each position's\n"
       "legal moves marked; `out` is filled instead when given."},
      {"zobrist", as_cfunction(tools_zobrist), FASTCALL,
       "zobrist(positions, *, errors='raise', threads=1)\n--\n\n"
       "Returns the Polyglot key of each position as a uint64 array."},
  };
  return methods;
}

PyMethodDef* game_batch_methods() {
  static PyMethodDef methods[] = {
      {"planes", as_cfunction(batch_planes), FASTCALL,
       "planes($self, /, view='white', *, out=None, threads=1)\n--\n\n"
       "Returns the piece planes of the batch's positions, uint8 (n, 12, 64); with view='side',\n"
       "a position with Black to move is colour-mirrored first."},
      {"zobrist", as_cfunction(batch_zobrist), FASTCALL,
       "zobrist($self, /, *, threads=1)\n--\n\n"
       "Returns the Polyglot key of each of the batch's positions, uint64 (n,)."},
      {nullptr, nullptr, 0, nullptr},
  };
  return methods;
}

}  // namespace vorel::python
