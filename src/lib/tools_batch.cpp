// vorel_tools's arrays over many positions: each function takes a batch of vorel_chess boards
// and FEN texts, answers one question per position in the C++ core, and returns NumPy arrays.
// NumPy is reached through its Python API only (numpy.empty, the buffer protocol), so the
// module builds without NumPy's headers.

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "lib/tools_board.hpp"
#include "lib/tools_methods.hpp"
#include "move_generator/game_state.hpp"

namespace vorel::python {

const MoveGenerator& generator() {
  static const MoveGenerator shared;
  return shared;
}

namespace {

// Batches of at least this many positions give up the interpreter lock while the core works.
constexpr std::size_t RELEASE_ROWS = 1000;
constexpr long long MAX_THREADS = 256;

// --- NumPy ------------------------------------------------------------------------------------

// Returns numpy.empty, importing NumPy on first use; kept for the process.
PyObject* numpy_empty() {
  static PyObject* empty = nullptr;
  if (empty == nullptr) {
    const OwnedRef numpy(PyImport_ImportModule("numpy"));
    if (!numpy) throw PythonError{};
    empty = PyObject_GetAttrString(numpy.get(), "empty");
    if (empty == nullptr) throw PythonError{};
  }
  return empty;
}

// Returns a new tuple of the sizes.
OwnedRef shape_tuple(const std::vector<std::size_t>& shape) {
  OwnedRef tuple(created(PyTuple_New(static_cast<Py_ssize_t>(shape.size()))));
  Py_ssize_t i = 0;
  for (const std::size_t size : shape)
    PyTuple_SET_ITEM(tuple.get(), i++, created(PyLong_FromSize_t(size)));
  return tuple;
}

// Returns a new uninitialised array; `dtype` is a NumPy type name such as "uint8".
OwnedRef new_array(const std::vector<std::size_t>& shape, const char* dtype) {
  const OwnedRef dimensions = shape_tuple(shape);
  const OwnedRef type(created(PyUnicode_FromString(dtype)));
  PyObject* arguments[] = {dimensions.get(), type.get()};
  OwnedRef array(PyObject_Vectorcall(numpy_empty(), arguments, 2, nullptr));
  if (!array) throw PythonError{};
  return array;
}

// A buffer view of an object, released when the owner goes out of scope or by release().
class Buffer {
 public:
  Buffer() = default;
  // Takes a view with the given flags or raises.
  Buffer(PyObject* object, int flags) {
    if (!acquire(object, flags)) throw PythonError{};
  }
  // Takes a view if the object offers one with these flags; no error is left set otherwise.
  Buffer(PyObject* object, int flags, std::nothrow_t) {
    if (!acquire(object, flags)) PyErr_Clear();
  }
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;
  ~Buffer() { release(); }

  // Takes a view with the given flags, releasing any held before; false with the exporter's
  // error set when it refuses.
  bool acquire(PyObject* object, int flags) {
    release();
    acquired_ = PyObject_GetBuffer(object, &view, flags) == 0;
    return acquired_;
  }
  void release() {
    if (acquired_) PyBuffer_Release(&view);
    acquired_ = false;
  }

  explicit operator bool() const { return acquired_; }
  template <class T>
  T* data() const {
    return static_cast<T*>(view.buf);
  }
  std::string_view format() const { return view.format == nullptr ? "B" : view.format; }
  // True when the view holds exactly `bytes` bytes, at an address when there are any.
  bool holds(std::size_t bytes) const {
    return view.len >= 0 && static_cast<std::size_t>(view.len) == bytes &&
           (bytes == 0 || view.buf != nullptr);
  }

  Py_buffer view{};

 private:
  bool acquired_ = false;
};

// Takes into `buffer` the one view through which a new array from numpy.empty is written, and
// checks on that very view that it is writable, C-contiguous and exactly `bytes` long; raises
// TypeError otherwise (numpy.empty replaced by something else, say).
void take_new_array_view(Buffer& buffer, PyObject* array, std::size_t bytes) {
  if (!buffer.acquire(array, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS)) {
    raise_from_current(PyExc_TypeError,
                       "numpy.empty() returned a '%s' that offers no writable C-contiguous view",
                       Py_TYPE(array)->tp_name);
  }
  if (buffer.view.readonly || !PyBuffer_IsContiguous(&buffer.view, 'C') || !buffer.holds(bytes)) {
    raise_format(PyExc_TypeError,
                 "numpy.empty() returned a '%s' of %zd bytes, not a writable C-contiguous array "
                 "of %zu bytes",
                 Py_TYPE(array)->tp_name, buffer.view.len, bytes);
  }
}

// Returns a new one-dimensional array holding a copy of the values.
template <class T>
OwnedRef array_of(const std::vector<T>& values, const char* dtype) {
  OwnedRef array = new_array({values.size()}, dtype);
  Buffer buffer;
  take_new_array_view(buffer, array.get(), values.size() * sizeof(T));
  if (!values.empty()) std::memcpy(buffer.view.buf, values.data(), values.size() * sizeof(T));
  return array;
}

// --- Arguments --------------------------------------------------------------------------------

struct Options {
  bool skip = false;  // errors="skip": leave out the rows that fail instead of raising
  std::size_t threads = 1;
};

Options options_of(PyObject* errors, PyObject* threads) {
  Options options;
  if (errors != nullptr) {
    const std::string_view value = text_argument(errors, "errors");
    if (value == "skip") {
      options.skip = true;
    } else if (value != "raise") {
      raise_format(PyExc_ValueError, "errors must be 'raise' or 'skip', not %R", errors);
    }
  }
  if (threads != nullptr) {
    const IndexArgument count = index_argument(threads, "threads");
    if (!count.within(1, MAX_THREADS)) {
      raise_format(PyExc_ValueError, "threads must be from 1 to %lld, not %R", MAX_THREADS,
                   count.number.get());
    }
    options.threads = static_cast<std::size_t>(*count.value);
  }
  return options;
}

// --- Batches ----------------------------------------------------------------------------------

// One position of a batch: a FEN text, kept alive by the batch, a board's position, copied under
// its access, or the message of a text that has no UTF-8 form.
struct Source {
  enum Kind : std::uint8_t { TEXT, BOARD, UNREADABLE };
  Kind kind;
  std::uint32_t index;  // of the board's position or of the message
  std::string_view text;
};

// Shared accesses on many boards, all released when the set is destroyed.
class SharedBorrows {
 public:
  SharedBorrows() = default;
  SharedBorrows(const SharedBorrows&) = delete;
  SharedBorrows& operator=(const SharedBorrows&) = delete;
  ~SharedBorrows() {
    for (std::size_t i = 0; i < flags_.size(); ++i) {
      // The flags are far apart in memory; fetching ahead overlaps their cache misses.
      if (i + PREFETCH < flags_.size()) __builtin_prefetch(flags_[i + PREFETCH], 1);
      flags_[i]->release_shared();
    }
  }

  void reserve(std::size_t size) { flags_.reserve(size); }
  // Takes a shared access or raises RuntimeError; room must have been reserved.
  void take(BorrowFlag& flag) {
    if (!flag.try_shared()) {
      raise(PyExc_RuntimeError, borrow_error_message(BorrowError::AlreadyMutablyBorrowed).data());
    }
    flags_.push_back(&flag);
  }

  static constexpr std::size_t PREFETCH = 24;

 private:
  std::vector<BorrowFlag*> flags_;
};

// The positions of one call, collected under the interpreter lock: a tuple holding every item,
// so that no text goes away while the lock is released, and a shared access on every board,
// held until the batch is destroyed.
class Batch {
 public:
  explicit Batch(PyObject* positions) {
    if (PyUnicode_Check(positions) || PyBytes_Check(positions) || PyByteArray_Check(positions) ||
        Py_TYPE(positions) == chess_board_type()) {
      raise_format(PyExc_TypeError,
                   "argument 'positions': expected a sequence of Board objects or FEN texts, "
                   "got one '%s' (put it in a list)",
                   PyUnicode_Check(positions)                 ? "str"
                   : Py_TYPE(positions) == chess_board_type() ? "Board"
                                                              : Py_TYPE(positions)->tp_name);
    }
    items_ = items_argument(positions, "positions", "a sequence of Board objects or FEN texts");
    const auto size = static_cast<std::size_t>(PyTuple_GET_SIZE(items_.get()));
    PyObject* const* items = &PyTuple_GET_ITEM(items_.get(), 0);
    sources_.reserve(size);
    PyTypeObject* board_type = chess_board_type();
    for (std::size_t row = 0; row < size; ++row) {
      if (row + SharedBorrows::PREFETCH < size)
        prefetch_board(items[row + SharedBorrows::PREFETCH]);
      PyObject* item = items[row];
      if (Py_TYPE(item) == board_type) {
        auto* board = reinterpret_cast<BoardObject*>(item);
        if (!board->constructed) {
          raise_format(PyExc_TypeError,
                       "position %zu: Board object is not initialized: it was not created by "
                       "Board()",
                       row);
        }
        if (borrows_ == nullptr) {
          borrows_ = std::make_unique<SharedBorrows>();
          borrows_->reserve(size - row);
          positions_.reserve(size - row);
        }
        borrows_->take(board->borrow);
        sources_.push_back({Source::BOARD, static_cast<std::uint32_t>(positions_.size()), {}});
        positions_.push_back({board->value.pieces, board->value.info});
      } else if (PyUnicode_Check(item)) {
        sources_.push_back(text_source(item));
      } else {
        raise_format(PyExc_TypeError, "position %zu: expected a Board or a FEN str, got '%s'", row,
                     Py_TYPE(item)->tp_name);
      }
    }
  }

  std::size_t size() const { return sources_.size(); }
  const Source& operator[](std::size_t row) const { return sources_[row]; }
  const Position& position(const Source& source) const { return positions_[source.index]; }
  const std::string& unreadable(const Source& source) const { return unreadable_[source.index]; }

 private:
  // Fetches the parts of a board that collecting reads: its header, its position and its flag.
  static void prefetch_board(PyObject* item) {
    const auto* board = reinterpret_cast<const BoardObject*>(item);
    __builtin_prefetch(board);
    __builtin_prefetch(&board->value.pieces);
    __builtin_prefetch(&board->borrow, 1);
  }

  // Returns the text's UTF-8 form, or the interpreter's reason for having none (a lone
  // surrogate), which makes the row one that does not read.
  Source text_source(PyObject* item) {
    Py_ssize_t length = 0;
    const char* text = PyUnicode_AsUTF8AndSize(item, &length);
    if (text != nullptr) return {Source::TEXT, 0, {text, static_cast<std::size_t>(length)}};
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw PythonError{};
    const OwnedRef error(PyErr_GetRaisedException());
    const OwnedRef message(PyObject_Str(error.get()));
    const char* utf8 = message ? PyUnicode_AsUTF8(message.get()) : nullptr;
    if (utf8 == nullptr) throw PythonError{};
    unreadable_.emplace_back(utf8);
    return {Source::UNREADABLE, static_cast<std::uint32_t>(unreadable_.size() - 1), {}};
  }

  // Destroyed in reverse order: the accesses are released while the tuple still holds the boards.
  OwnedRef items_;
  std::vector<Source> sources_;
  std::vector<Position> positions_;
  std::vector<std::string> unreadable_;
  std::unique_ptr<SharedBorrows> borrows_;
};

// Returns the position of a row, or why it has none.
std::expected<Position, std::string> position_of(const Batch& batch, std::size_t row) {
  const Source& source = batch[row];
  if (source.kind == Source::BOARD) return batch.position(source);
  if (source.kind == Source::UNREADABLE)
    return std::unexpected("Invalid fen: " + batch.unreadable(source));
  std::expected<Position, FenError> read = read_fen(source.text);
  if (!read) return std::unexpected("Invalid fen: " + read.error().message);
  return *read;
}

bool has_king_to_move(const Position& position) {
  return position.pieces[(position.info & WHITE_TO_MOVE) ? WHITE_KING : BLACK_KING] != 0;
}

constexpr const char* NO_KING_TO_MOVE = "the side to move has no king";

// --- Running the rows -------------------------------------------------------------------------

// The interpreter lock, given up for the life of the object.
class ReleasedLock {
 public:
  ReleasedLock() : state_(PyEval_SaveThread()) {}
  ReleasedLock(const ReleasedLock&) = delete;
  ReleasedLock& operator=(const ReleasedLock&) = delete;
  ~ReleasedLock() { PyEval_RestoreThread(state_); }

 private:
  PyThreadState* state_;
};

struct Failure {
  std::size_t row;
  std::string message;
};

// What one thread works with and what it found: the first row that failed, a fault that stopped
// it, a board to generate moves on, and the moves of legal_moves.
struct Worker {
  std::optional<Failure> failure;
  std::exception_ptr fault;
  std::optional<Board> board;
  std::vector<std::uint16_t> moves;
  std::vector<std::int64_t> counts;

  // Returns the worker's board, set to the position.
  Board& board_at(const Position& position) {
    if (!board) board.emplace(position.pieces, position.info);
    board->set_position(position);
    return *board;
  }
};

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
std::size_t compact(std::uint8_t* data, std::size_t width, const std::vector<std::uint8_t>& valid) {
  std::size_t kept = 0;
  for (std::size_t i = 0; i < valid.size(); ++i) {
    if (!valid[i]) continue;
    if (kept != i) std::memmove(data + kept * width, data + i * width, width);
    ++kept;
  }
  return kept;
}

// Returns the first `rows` rows of an array whose first dimension is shape[0]: a view of an
// array the caller gave, or the array itself cut down when the call made it. The shape is the
// one the array was checked to have, never read back from the object.
OwnedRef first_rows(OwnedRef array, std::size_t rows, bool given,
                    const std::vector<std::size_t>& shape) {
  if (rows == shape.front()) return array;
  if (given) {
    OwnedRef view(PySequence_GetSlice(array.get(), 0, static_cast<Py_ssize_t>(rows)));
    if (!view) throw PythonError{};
    return view;
  }
  std::vector<std::size_t> cut = shape;
  cut.front() = rows;
  const OwnedRef new_shape = shape_tuple(cut);
  const OwnedRef method(created(PyUnicode_FromString("resize")));
  const OwnedRef keywords(Py_BuildValue("(s)", "refcheck"));
  if (!keywords) throw PythonError{};
  PyObject* arguments[] = {array.get(), new_shape.get(), Py_False};
  const OwnedRef done(PyObject_VectorcallMethod(method.get(), arguments, 2, keywords.get()));
  if (!done) throw PythonError{};
  return array;
}

// Returns the result of a call: the array alone, or with errors="skip" the tuple of the array
// and the mask of the rows that read.
PyObject* with_mask(OwnedRef result, const Options& options,
                    const std::vector<std::uint8_t>& valid) {
  if (!options.skip) return result.release();
  OwnedRef mask = array_of(valid, "bool");
  return created(PyTuple_Pack(2, result.get(), mask.get()));
}

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
PyObject* fixed_rows(const Batch& batch, const Options& options, Output& output, std::size_t width,
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

// Fills `output` with a new array of the shape from numpy.empty, `width` bytes a row.
void new_output(Output& output, std::vector<std::size_t> shape, const char* dtype,
                std::size_t width) {
  output.array = new_array(shape, dtype);
  take_new_array_view(output.buffer, output.array.get(), shape.front() * width);
  output.shape = std::move(shape);
}

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
    const Batch batch(positions);
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
PyObject* indexed_move_text(std::uint16_t word, std::size_t index) {
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
          PyList_SET_ITEM(result.get(), i, indexed_move_text(words[i], i));
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
          indexed_move_text(static_cast<std::uint16_t>(*word.value), static_cast<std::size_t>(i)));
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
    const long long depth = *depth_number.value;
    if (divide && depth < 1) raise(PyExc_ValueError, "divide needs a depth of at least 1");
    const std::uint32_t flags = status(generator(), position);
    const std::uint32_t other_king =
        (position.info & WHITE_TO_MOVE) ? STATUS_NO_BLACK_KING : STATUS_NO_WHITE_KING;
    if (depth >= 1 && !has_king_to_move(position))
      raise(PyExc_ValueError, "perft: the side to move has no king");
    if (depth >= 2 && (flags & (other_king | STATUS_OPPOSITE_CHECK))) {
      raise(
          PyExc_ValueError,
          "perft: the side not to move has no king or is in check, so a move could take its king");
    }
    Board board(position.pieces, position.info);
    std::uint64_t nodes = 1;
    std::vector<std::pair<ChessMove, std::uint64_t>> counts;
    {
      const ReleasedLock released;
      if (divide) {
        counts = perft_divide(generator(), board, static_cast<unsigned>(depth));
      } else if (depth > 0) {
        nodes = perft(generator(), board, static_cast<unsigned>(depth));
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
       "Returns the piece planes of the positions as a uint8 array of shape (n, 12, 64),\n"
       "the layout of Board.bitboard(); `out` is filled instead when given."},
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
