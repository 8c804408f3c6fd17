#include "lib/batch.hpp"

#include <cstring>
#include <utility>

namespace vorel::python {

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

namespace {

// True for the buffer formats of unsigned 64-bit integers in the machine's order.
bool is_uint64(const Buffer& buffer) {
  const std::string_view format = buffer.format();
  return buffer.view.itemsize == 8 &&
         (format == "Q" || format == "=Q" || format == "<Q" || format == "L" || format == "<L");
}

}  // namespace

bool Batch::read_bitboards(PyObject* positions) {
  if (PyUnicode_Check(positions) || PyBytes_Check(positions) || !PyObject_CheckBuffer(positions))
    return false;
  const Buffer buffer(positions, PyBUF_RECORDS_RO, std::nothrow);
  if (!buffer || !is_uint64(buffer)) return false;
  const Py_buffer& view = buffer.view;
  if (view.ndim != 2 || view.shape[1] != static_cast<Py_ssize_t>(PIECE_NB)) {
    raise(PyExc_ValueError, "argument 'positions': bitboards must be an array of shape (n, 12)");
  }
  const auto rows = static_cast<std::size_t>(view.shape[0]);
  positions_.resize(rows);
  sources_.reserve(rows);
  const auto* bytes = static_cast<const char*>(view.buf);
  for (std::size_t row = 0; row < rows; ++row) {
    Position& position = positions_[row];
    for (std::size_t piece = 0; piece < PIECE_NB; ++piece) {
      std::memcpy(&position.pieces[piece],
                  bytes + static_cast<Py_ssize_t>(row) * view.strides[0] +
                      static_cast<Py_ssize_t>(piece) * view.strides[1],
                  sizeof(Bitboard));
    }
    position.info = WHITE_TO_MOVE;
    sources_.push_back({Source::BOARD, static_cast<std::uint32_t>(row), {}});
  }
  return true;
}

Batch::Batch(PyObject* positions, bool bitboards) {
  if (bitboards && read_bitboards(positions)) return;
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
  std::vector<std::size_t> board_rows;
  // The boards are shared together, before the first item of a wrong type is refused, so that
  // the first row that fails is named.
  const auto share = [&] {
    boards_.take(positions_, [&](std::size_t board) {
      return "position " + std::to_string(board_rows[board]) + ": ";
    });
  };
  for (std::size_t row = 0; row < size; ++row) {
    PyObject* item = items[row];
    if (Py_TYPE(item) == board_type) {
      sources_.push_back({Source::BOARD, static_cast<std::uint32_t>(boards_.size()), {}});
      boards_.add(item);
      board_rows.push_back(row);
    } else if (PyUnicode_Check(item)) {
      sources_.push_back(text_source(item));
    } else {
      share();
      raise_format(PyExc_TypeError, "position %zu: expected a Board or a FEN str, got '%s'", row,
                   Py_TYPE(item)->tp_name);
    }
  }
  share();
}

Source Batch::text_source(PyObject* item) {
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
  cut_rows(array.get(), rows, shape);
  return array;
}

// Returns the result of a call: the array alone, or with errors="skip" the tuple of the array
// and the mask of the rows that read.
OwnedRef with_mask(OwnedRef result, const Options& options,
                   const std::vector<std::uint8_t>& valid) {
  if (!options.skip) return result;
  OwnedRef mask = array_of(valid, "bool");
  return OwnedRef(created(PyTuple_Pack(2, result.get(), mask.get())));
}

// Fills `output` with a new array of the shape from numpy.empty, `width` bytes a row.
void new_output(Output& output, std::vector<std::size_t> shape, const char* dtype,
                std::size_t width) {
  output.array = new_array(shape, dtype);
  take_new_array_view(output.buffer, output.array.get(), shape.front() * width);
  output.shape = std::move(shape);
}

}  // namespace vorel::python
