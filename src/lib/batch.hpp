#pragma once

// The machinery of vorel_tools' batch functions: their options, the positions of a call
// collected with shared accesses on their boards, the rows answered on native threads without
// the interpreter lock, and the arrays the answers go into.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "lib/numpy_buffer.hpp"
#include "lib/tools_board.hpp"
#include "lib/tools_methods.hpp"

namespace vorel::python {

// Batches of at least this many positions give up the interpreter lock while the core works.
inline constexpr std::size_t RELEASE_ROWS = 1000;
inline constexpr long long MAX_THREADS = 256;

struct Options {
  bool skip = false;  // errors="skip": leave out the rows that fail instead of raising
  std::size_t threads = 1;
};

// Reads the options `errors` and `threads` (either null when absent).
Options options_of(PyObject* errors, PyObject* threads);
// Reads the `threads` argument (null when absent: 1), 1 to MAX_THREADS.
std::size_t threads_argument(PyObject* threads);

// One position of a batch: a FEN text, kept alive by the batch, a board's position, copied under
// its access, or why the row has no position: a text without a UTF-8 form (a str with a lone
// surrogate, bytes that are not UTF-8), or values of a GameBatch's arrays that name none.
struct Source {
  enum Kind : std::uint8_t { TEXT, BOARD, UNREADABLE };
  Kind kind;
  std::uint32_t index;  // of the board's position or of the message
  std::string_view text;
};

// The positions of one call, collected under the interpreter lock: a tuple holding every item,
// so that no text goes away while the lock is released, and a shared access on every board,
// held until the batch is destroyed.
class Batch {
 public:
  // Collects the positions argument of a call: Board objects and FEN texts (str, bytes, bytearray,
  // NumPy's str_ and bytes_), a one-dimensional array of dtype S, whose items are read in place,
  // or a GameBatch, whose positions are rebuilt from its arrays. With `bitboards`, also a uint64
  // array of shape (n, 12), whose rows are the placements, without rights, with the side to move
  // of `white_to_move` (one bool or one per row), else White. `white_to_move` with other
  // positions is a TypeError.
  explicit Batch(PyObject* positions, bool bitboards = false, PyObject* white_to_move = nullptr);

  std::size_t size() const { return sources_.size(); }
  // False for a bitboards array without white_to_move: the side to move of its rows is unknown.
  bool sides_known() const { return sides_known_; }
  const Source& operator[](std::size_t row) const { return sources_[row]; }
  const Position& position(const Source& source) const { return positions_[source.index]; }
  // The whole message of a row that does not read.
  const std::string& unreadable(const Source& source) const { return unreadable_[source.index]; }

 private:
  // Returns the text's UTF-8 form, or the interpreter's reason for having none (a lone
  // surrogate), which makes the row one that does not read.
  Source text_source(PyObject* item);
  // Returns the bytes, which stay until the batch is destroyed, as a FEN text, or, when they are
  // not UTF-8, a row that does not read with the interpreter's reason.
  Source bytes_source(std::string_view bytes);
  // Returns a row that does not read: "Invalid fen: " and the message of the exception set, which
  // is cleared.
  Source unreadable_source();
  // Reads a one-dimensional array of fixed-width bytes (dtype S) through a view held until the
  // batch is destroyed, each item without the NULs that pad its end, as NumPy gives it; false
  // when `positions` is none.
  bool read_byte_texts(PyObject* positions);
  // Reads a bitboards array; false when `positions` is none.
  bool read_bitboards(PyObject* positions, PyObject* white_to_move);
  // Reads the placements of a uint64 view of shape (n, 12), with White to move and no rights.
  void read_placements(const Buffer& buffer);
  // Reads the positions of a GameBatch from its arrays.
  void read_game_batch(PyObject* batch);

  // Destroyed in reverse order: the accesses are released while the tuple still holds the boards.
  OwnedRef items_;
  std::vector<OwnedRef> copies_;  // bytes copies of the bytearray items, which could be resized
  Buffer texts_;                  // the view of an array of dtype S, read in place
  std::vector<Source> sources_;
  std::vector<Position> positions_;
  std::vector<std::string> unreadable_;
  SharedBoards boards_;
  bool sides_known_ = true;
};

// Returns the position of a row, or why it has none.
std::expected<Position, std::string> position_of(const Batch& batch, std::size_t row);

struct Failure {
  std::size_t row;
  std::string message;
};

// What one thread found: the first row that failed, a fault that stopped it, and the moves of
// legal_moves.
struct Worker {
  std::optional<Failure> failure;
  std::exception_ptr fault;
  std::vector<std::uint16_t> moves;
  std::vector<std::int64_t> counts;
};

// Appends the legal moves of a position whose side to move has a king, generated on a copy of it
// (the generator tries each move on the position it is given, and takes it back).
inline void legal_moves_of(const Position& position, MoveList& legal) {
  Position board = position;
  generator().moves(board, legal);
}

// Calls row(worker, index, position) for the rows of the batch, split into as many consecutive
// ranges as there are threads, with the interpreter lock released for a large batch or several
// threads; `row` touches no Python object and returns the reason a row has no answer, if any.
// Sets valid[i] to 0 for every row i that failed. Unless skipping, raises ValueError naming the
// first row that failed; a fault of the core is raised as such. Returns the workers in row order.
template <class Row>
std::vector<Worker> run_rows(const Batch& batch, const Options& options,
                             std::vector<std::uint8_t>& valid, Row&& row) {
  const std::size_t size = batch.size();
  const std::size_t count = std::max<std::size_t>(1, std::min(options.threads, size));
  std::vector<Worker> workers(count);
  valid.assign(size, 1);
  generator();  // built before the lock is given up
  const auto work = [&](std::size_t k) noexcept {
    Worker& worker = workers[k];
    try {
      for (std::size_t i = k * size / count, end = (k + 1) * size / count; i < end; ++i) {
        std::expected<Position, std::string> position = position_of(batch, i);
        std::optional<std::string> problem;
        if (position) {
          // A fault of the core on an odd board (two pieces on one square, say) is that row's
          // answer: the other rows still have theirs.
          try {
            problem = row(worker, i, *position);
          } catch (const Fault& fault) {
            problem = fault.what();
          }
        } else {
          problem = std::move(position.error());
        }
        if (!problem) continue;
        valid[i] = 0;
        if (!worker.failure) worker.failure = Failure{i, std::move(*problem)};
        if (!options.skip) return;
      }
    } catch (...) {
      worker.fault = std::current_exception();
    }
  };
  {
    std::optional<ReleasedLock> released;
    if (size >= RELEASE_ROWS || count > 1) released.emplace();
    std::vector<std::jthread> threads;  // joined before the lock is taken back
    threads.reserve(count - 1);
    for (std::size_t k = 1; k < count; ++k) threads.emplace_back(work, k);
    work(0);
  }
  for (const Worker& worker : workers) {
    if (worker.fault) std::rethrow_exception(worker.fault);
  }
  if (!options.skip) {
    for (const Worker& worker : workers) {
      if (worker.failure) {
        raise(PyExc_ValueError,
              "position " + std::to_string(worker.failure->row) + ": " + worker.failure->message);
      }
    }
  }
  return workers;
}

// Moves the rows that read to the front, in order; returns how many there are.
std::size_t compact(std::uint8_t* data, std::size_t width, const std::vector<std::uint8_t>& valid);

// Returns the first `rows` rows of an array whose first dimension is shape[0]: a view of an
// array the caller gave, or the array itself cut down when the call made it. The shape is the
// one the array was checked to have, never read back from the object.
OwnedRef first_rows(OwnedRef array, std::size_t rows, bool given,
                    const std::vector<std::size_t>& shape);

// Returns the result of a call: the array alone, or with errors="skip" the tuple of the array
// and the mask of the rows that read.
OwnedRef with_mask(OwnedRef result, const Options& options, const std::vector<std::uint8_t>& valid);

// The array a question with a fixed-width answer writes into: its shape (one row per position
// first) and the one view it is written through, taken and checked before anything is written.
struct Output {
  OwnedRef array;
  std::vector<std::size_t> shape;
  bool given = false;  // the caller's `out`
  Buffer buffer;
};

// Runs a question with a fixed-width answer: row i's `width` bytes at offset i * width of the
// output's view, written by fill(worker, position, out), which returns the reason a row has no
// answer, if any. With errors="skip" the rows that read are moved to the front and the array is
// cut down to them.
template <class Fill>
OwnedRef fixed_rows(const Batch& batch, const Options& options, Output& output, std::size_t width,
                    Fill&& fill) {
  std::vector<std::uint8_t> valid;
  auto* data = output.buffer.data<std::uint8_t>();
  run_rows(batch, options, valid, [&](Worker& worker, std::size_t i, const Position& position) {
    return fill(worker, position, data + i * width);
  });
  const std::size_t kept = options.skip ? compact(data, width, valid) : batch.size();
  output.buffer.release();  // before the array is cut down: a resize refuses exported arrays
  OwnedRef array = first_rows(std::move(output.array), kept, output.given, output.shape);
  return with_mask(std::move(array), options, valid);
}

// Fills `output` with the caller's `out` and the one view it is checked and written through: a
// writable C-contiguous array of uint8 (or bool) of the shape, exactly that long. Raises
// TypeError for another item type or an object without a buffer, ValueError for another shape, a
// read-only or not C-contiguous array, or a buffer of another length.
void given_output(Output& output, PyObject* out, std::vector<std::size_t> shape);

// Fills `output` with a new array of the shape from numpy.empty (numpy.zeros with `zeroed`),
// `width` bytes a row.
void new_output(Output& output, std::vector<std::size_t> shape, const char* dtype,
                std::size_t width, bool zeroed = false);

// The body of a function with one fixed-width value per position, whose parameters are
// (positions, errors, threads): `width` bytes of dtype `dtype` per row (shape (n,), or
// (n, extent) when extent > 0), written by fill as fixed_rows has it.
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

}  // namespace vorel::python
