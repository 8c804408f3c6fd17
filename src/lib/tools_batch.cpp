// vorel_tools's arrays over many positions: each function takes a batch of vorel_chess boards
// and FEN texts, answers one question per position in the C++ core, and returns NumPy arrays.
// NumPy is reached through its Python API only (numpy.empty, the buffer protocol), so the
// module builds without NumPy's headers.

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <exception>
#include <initializer_list>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <thread>
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
constexpr long MAX_THREADS = 256;

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
OwnedRef shape_tuple(std::initializer_list<std::size_t> shape) {
  OwnedRef tuple(created(PyTuple_New(static_cast<Py_ssize_t>(shape.size()))));
  Py_ssize_t i = 0;
  for (const std::size_t size : shape)
    PyTuple_SET_ITEM(tuple.get(), i++, created(PyLong_FromSize_t(size)));
  return tuple;
}

// Returns a new uninitialised array; `dtype` is a NumPy type name such as "uint8".
OwnedRef new_array(std::initializer_list<std::size_t> shape, const char* dtype) {
  const OwnedRef dimensions = shape_tuple(shape);
  const OwnedRef type(created(PyUnicode_FromString(dtype)));
  PyObject* arguments[] = {dimensions.get(), type.get()};
  OwnedRef array(PyObject_Vectorcall(numpy_empty(), arguments, 2, nullptr));
  if (!array) throw PythonError{};
  return array;
}

// A buffer view of an object, released when the owner goes out of scope.
class Buffer {
 public:
  // Takes a view with the given flags or raises.
  Buffer(PyObject* object, int flags) : Buffer(object, flags, std::nothrow) {
    if (!acquired_) throw PythonError{};
  }
  // Takes a view if the object offers one with these flags; no error is left set otherwise.
  Buffer(PyObject* object, int flags, std::nothrow_t)
      : acquired_(PyObject_GetBuffer(object, &view, flags) == 0) {}
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;
  ~Buffer() {
    if (acquired_) PyBuffer_Release(&view);
  }

  explicit operator bool() const { return acquired_; }
  template <class T>
  T* data() const {
    return static_cast<T*>(view.buf);
  }
  std::string_view format() const { return view.format == nullptr ? "B" : view.format; }

  Py_buffer view;

 private:
  bool acquired_;
};

// Returns a new one-dimensional array holding a copy of the values.
template <class T>
OwnedRef array_of(const std::vector<T>& values, const char* dtype) {
  OwnedRef array = new_array({values.size()}, dtype);
  const Buffer buffer(array.get(), PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS);
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
    if (!PyLong_Check(threads)) {
      raise_format(PyExc_TypeError, "argument 'threads': expected int, got '%s'",
                   Py_TYPE(threads)->tp_name);
    }
    const long count = PyLong_AsLong(threads);
    if (count == -1 && PyErr_Occurred()) PyErr_Clear();
    if (count < 1 || count > MAX_THREADS) {
      raise_format(PyExc_ValueError, "threads must be from 1 to %ld, not %R", MAX_THREADS, threads);
    }
    options.threads = static_cast<std::size_t>(count);
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
    if (PyTuple_CheckExact(positions)) {
      items_ = OwnedRef(Py_NewRef(positions));
    } else if (PyList_Check(positions)) {
      items_ = OwnedRef(PyList_AsTuple(positions));
      if (!items_) throw PythonError{};
    } else {
      const OwnedRef iterator(PyObject_GetIter(positions));
      if (!iterator) {
        PyErr_Clear();
        raise_format(PyExc_TypeError,
                     "argument 'positions': expected a sequence of Board objects or FEN texts, "
                     "got '%s'",
                     Py_TYPE(positions)->tp_name);
      }
      items_ = OwnedRef(PySequence_Tuple(iterator.get()));
      if (!items_) throw PythonError{};
    }
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

// Returns the first `rows` rows of an array: a view of an array the caller gave, or the array
// itself cut down when the call made it.
OwnedRef first_rows(OwnedRef array, std::size_t rows, bool given) {
  const OwnedRef shape(PyObject_GetAttrString(array.get(), "shape"));
  if (!shape) throw PythonError{};
  if (PyTuple_GET_SIZE(shape.get()) > 0 &&
      PyLong_AsSize_t(PyTuple_GET_ITEM(shape.get(), 0)) == rows) {
    return array;
  }
  if (given) {
    OwnedRef view(PySequence_GetSlice(array.get(), 0, static_cast<Py_ssize_t>(rows)));
    if (!view) throw PythonError{};
    return view;
  }
  OwnedRef new_shape(PySequence_List(shape.get()));
  if (!new_shape) throw PythonError{};
  if (PyList_SetItem(new_shape.get(), 0, created(PyLong_FromSize_t(rows))) < 0) throw PythonError{};
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

// Runs a question with a fixed-width answer: row i's `width` bytes at offset i * width of
// `array` (C-contiguous, one row per position), written by fill(worker, position, out), which
// returns the reason a row has no answer, if any. With errors="skip" the rows that read are
// moved to the front and the array is cut down to them.
template <class Fill>
PyObject* fixed_rows(const Batch& batch, const Options& options, OwnedRef array, bool given,
                     std::size_t width, Fill&& fill) {
  std::vector<std::uint8_t> valid;
  std::size_t kept = 0;
  {
    const Buffer buffer(array.get(), PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS);
    auto* data = buffer.data<std::uint8_t>();
    run_rows(batch, options, valid, [&](Worker& worker, std::size_t i, const Position& position) {
      return fill(worker, position, data + i * width);
    });
    if (options.skip) kept = compact(data, width, valid);
  }
  if (options.skip) array = first_rows(std::move(array), kept, given);
  return with_mask(std::move(array), options, valid);
}

// --- The functions ----------------------------------------------------------------------------

constexpr std::size_t PLANE_BYTES = PIECE_NB * SQUARE_NB;

constexpr Signature<4> PLANES_SIGNATURE{
    "planes()", {"positions", "out", "errors", "threads"}, 1, 1};

// Returns `out` once it is checked to be a writable C-contiguous array of uint8 (or bool) of
// shape (rows, 12, 64).
OwnedRef checked_out(PyObject* out, std::size_t rows) {
  if (!PyObject_CheckBuffer(out)) {
    raise_format(PyExc_TypeError, "argument 'out': expected a NumPy array of uint8, got '%s'",
                 Py_TYPE(out)->tp_name);
  }
  const Buffer buffer(out, PyBUF_STRIDES | PyBUF_FORMAT);
  const Py_buffer& view = buffer.view;
  const std::string_view format = buffer.format();
  if (view.itemsize != 1 || (format != "B" && format != "?")) {
    raise_format(PyExc_TypeError,
                 "argument 'out': expected an array of uint8 or bool, got format '%s'",
                 view.format == nullptr ? "B" : view.format);
  }
  const bool shape_ok = view.ndim == 3 && static_cast<std::size_t>(view.shape[0]) == rows &&
                        view.shape[1] == static_cast<Py_ssize_t>(PIECE_NB) &&
                        view.shape[2] == static_cast<Py_ssize_t>(SQUARE_NB);
  if (!shape_ok) {
    const OwnedRef shape(PyObject_GetAttrString(out, "shape"));
    if (!shape) PyErr_Clear();
    raise_format(PyExc_ValueError, "argument 'out': expected shape (%zu, 12, 64), got %R", rows,
                 shape ? shape.get() : Py_None);
  }
  if (view.readonly) raise(PyExc_ValueError, "argument 'out': the array is read-only");
  if (!PyBuffer_IsContiguous(&view, 'C'))
    raise(PyExc_ValueError, "argument 'out': the array is not C-contiguous");
  return OwnedRef(Py_NewRef(out));
}

PyObject* tools_planes(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] {
    const auto [positions, out, errors, threads] = parse(PLANES_SIGNATURE, args, nargs, kwnames);
    const Options options = options_of(errors, threads);
    const Batch batch(positions);
    const bool given = out != nullptr && out != Py_None;
    OwnedRef array = given ? checked_out(out, batch.size())
                           : new_array({batch.size(), PIECE_NB, SQUARE_NB}, "uint8");
    return fixed_rows(batch, options, std::move(array), given, PLANE_BYTES,
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
    OwnedRef array =
        extent > 0 ? new_array({batch.size(), extent}, dtype) : new_array({batch.size()}, dtype);
    return fixed_rows(batch, options, std::move(array), false, width, fill);
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
      const Buffer buffer(array.get(), PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS);
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
      const Buffer move_buffer(moves.get(), PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS);
      const Buffer offset_buffer(offsets.get(), PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS);
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

PyObject* tools_move_texts(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] {
    const auto [moves] = parse(MOVE_TEXTS_SIGNATURE, args, nargs, kwnames);
    // A contiguous buffer of uint16 words is read directly; anything else item by item.
    if (PyObject_CheckBuffer(moves)) {
      const Buffer buffer(moves, PyBUF_FORMAT | PyBUF_C_CONTIGUOUS, std::nothrow);
      if (!buffer) PyErr_Clear();
      const std::string_view format = buffer ? buffer.format() : "";
      if (buffer && buffer.view.itemsize == 2 &&
          (format == "H" || format == "=H" || format == "<H")) {
        const std::size_t count = static_cast<std::size_t>(buffer.view.len) / 2;
        const auto* words = buffer.data<const std::uint16_t>();
        OwnedRef result(created(PyList_New(static_cast<Py_ssize_t>(count))));
        for (std::size_t i = 0; i < count; ++i)
          PyList_SET_ITEM(result.get(), i, indexed_move_text(words[i], i));
        return result.release();
      }
    }
    const OwnedRef items(
        PySequence_Fast(moves, "argument 'moves': expected a sequence of move words"));
    if (!items) throw PythonError{};
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(items.get());
    OwnedRef result(created(PyList_New(count)));
    for (Py_ssize_t i = 0; i < count; ++i) {
      const OwnedRef number(PyNumber_Index(PySequence_Fast_GET_ITEM(items.get(), i)));
      if (!number) throw PythonError{};
      const long word = PyLong_AsLong(number.get());
      if (word == -1 && PyErr_Occurred()) PyErr_Clear();
      if (word < 0 || word > 0xFFFF) {
        raise_format(PyExc_ValueError, "move %zd: %R is not a 16-bit move word", i, number.get());
      }
      PyList_SET_ITEM(
          result.get(), i,
          indexed_move_text(static_cast<std::uint16_t>(word), static_cast<std::size_t>(i)));
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
    if (!PyLong_Check(depth_argument)) {
      raise_format(PyExc_TypeError, "argument 'depth': expected int, got '%s'",
                   Py_TYPE(depth_argument)->tp_name);
    }
    const long depth = PyLong_AsLong(depth_argument);
    if (depth == -1 && PyErr_Occurred()) throw PythonError{};
    const int divide = divide_argument == nullptr ? 0 : PyObject_IsTrue(divide_argument);
    if (divide < 0) throw PythonError{};
    if (depth < 0 || depth > 64)
      raise_format(PyExc_ValueError, "depth must be from 0 to 64, not %ld", depth);
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
