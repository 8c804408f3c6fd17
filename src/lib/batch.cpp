#include "lib/batch.hpp"

#include <charconv>
#include <cstring>
#include <optional>
#include <string>
#include <utility>

#include "common/unicode.hpp"
#include "lib/game_batch.hpp"

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
  options.threads = threads_argument(threads);
  return options;
}

std::size_t threads_argument(PyObject* threads) {
  if (threads == nullptr) return 1;
  const IndexArgument count = index_argument(threads, "threads");
  if (!count.within(1, MAX_THREADS)) {
    raise_format(PyExc_ValueError, "threads must be from 1 to %lld, not %R", MAX_THREADS,
                 count.number.get());
  }
  return static_cast<std::size_t>(*count.value);
}

namespace {

// True for the buffer formats of unsigned 64-bit integers in the machine's order.
bool is_uint64(const Buffer& buffer) {
  const char code = native_code(buffer);
  return buffer.view.itemsize == 8 && (code == 'Q' || code == 'L');
}

// Returns the view of a per-position array of a GameBatch, its attribute `name`: `rows` rows of
// `width` items (one dimension when width is 1) of the buffer format `code`, `size` bytes each.
// A view of another layout raises ValueError.
void take_column(Buffer& buffer, PyObject* batch, const char* name, char code, Py_ssize_t size,
                 std::size_t rows, std::size_t width) {
  const OwnedRef column(PyObject_GetAttrString(batch, name));
  if (!column) throw PythonError{};
  if (!buffer.acquire(column.get(), PyBUF_RECORDS_RO)) throw PythonError{};
  const Py_buffer& view = buffer.view;
  const std::string_view format = buffer.format();
  const bool layout_ok = view.itemsize == size && !format.empty() && format.back() == code &&
                         view.ndim == (width == 1 ? 1 : 2) && view.shape != nullptr &&
                         view.strides != nullptr &&
                         static_cast<std::size_t>(view.shape[0]) == rows &&
                         (width == 1 || static_cast<std::size_t>(view.shape[1]) == width);
  if (!layout_ok) {
    raise_format(PyExc_ValueError, "argument 'positions': the GameBatch's %s array is not as made",
                 name);
  }
}

// Returns item (row, column) of a view of one or two dimensions.
template <class T>
T item(const Buffer& buffer, std::size_t row, std::size_t column = 0) {
  const Py_buffer& view = buffer.view;
  Py_ssize_t offset = static_cast<Py_ssize_t>(row) * view.strides[0];
  if (view.ndim == 2) offset += static_cast<Py_ssize_t>(column) * view.strides[1];
  return item_at<T>(buffer, offset);
}

// True for a one-dimensional view of fixed-width bytes, as NumPy gives an array of dtype S: the
// format "s" or "<itemsize>s", after an optional byte-order mark.
bool holds_byte_texts(const Buffer& buffer) {
  const Py_buffer& view = buffer.view;
  if (view.ndim != 1 || view.shape == nullptr || view.strides == nullptr || view.itemsize < 1 ||
      view.shape[0] < 0 || (view.shape[0] > 0 && view.buf == nullptr))
    return false;
  std::string_view format = buffer.format();
  if (!format.empty() && std::string_view("@=<>!").contains(format.front()))
    format.remove_prefix(1);
  if (!format.ends_with('s')) return false;
  format.remove_suffix(1);
  if (format.empty()) return view.itemsize == 1;
  std::size_t count = 0;
  const auto [end, error] = std::from_chars(format.data(), format.data() + format.size(), count);
  return error == std::errc{} && end == format.data() + format.size() &&
         count == static_cast<std::size_t>(view.itemsize);
}

// True when no byte has its high bit set; read eight bytes at a time, as a batch of a million
// texts spends more time in a byte-by-byte UTF-8 check than in anything else but reading them.
bool is_ascii(std::string_view bytes) {
  std::uint64_t high = 0;
  std::size_t i = 0;
  for (; i + 8 <= bytes.size(); i += 8) {
    std::uint64_t word;
    std::memcpy(&word, bytes.data() + i, 8);
    high |= word;
  }
  for (; i < bytes.size(); ++i) high |= static_cast<unsigned char>(bytes[i]);
  return (high & 0x8080808080808080) == 0;
}

}  // namespace

void Batch::read_placements(const Buffer& buffer) {
  const Py_buffer& view = buffer.view;
  if (view.ndim != 2 || view.shape[1] != static_cast<Py_ssize_t>(PIECE_NB)) {
    raise(PyExc_ValueError, "argument 'positions': bitboards must be an array of shape (n, 12)");
  }
  const auto rows = static_cast<std::size_t>(view.shape[0]);
  positions_.resize(rows);
  sources_.reserve(rows);
  for (std::size_t row = 0; row < rows; ++row) {
    Position& position = positions_[row];
    for (std::size_t piece = 0; piece < PIECE_NB; ++piece)
      position.pieces[piece] = item<Bitboard>(buffer, row, piece);
    position.info = WHITE_TO_MOVE;
    sources_.push_back({Source::BOARD, static_cast<std::uint32_t>(row), {}});
  }
}

bool Batch::read_bitboards(PyObject* positions, PyObject* white_to_move) {
  if (PyUnicode_Check(positions) || PyBytes_Check(positions) || !PyObject_CheckBuffer(positions))
    return false;
  const Buffer buffer(positions, PyBUF_RECORDS_RO, std::nothrow);
  if (!buffer) return false;
  if (!is_uint64(buffer)) {
    // A table of integers of another type (int64, or uint64 of the other byte order) is no
    // sequence of positions either: it is named as the bitboards array it was meant to be.
    const std::string_view format = buffer.format();
    if (buffer.view.ndim != 2 || format.empty() ||
        !std::string_view("bBhHiIlLqQnN").contains(format.back()))
      return false;
    raise_format(PyExc_TypeError,
                 "argument 'positions': a bitboards array must be of uint64 in the machine's byte "
                 "order, not of format '%s'",
                 std::string(format).c_str());
  }
  read_placements(buffer);
  if (white_to_move == nullptr || white_to_move == Py_None) {
    sides_known_ = false;
    return true;
  }
  const std::vector<std::uint8_t> white = flags_argument(white_to_move, "white_to_move", size());
  for (std::size_t row = 0; row < white.size(); ++row) {
    if (!white[row]) positions_[row].info = 0;
  }
  return true;
}

void Batch::read_game_batch(PyObject* batch) {
  {
    Buffer bitboards;
    const OwnedRef column(PyObject_GetAttrString(batch, "bitboards"));
    if (!column) throw PythonError{};
    if (!bitboards.acquire(column.get(), PyBUF_RECORDS_RO)) throw PythonError{};
    if (!is_uint64(bitboards)) {
      raise(PyExc_ValueError,
            "argument 'positions': the GameBatch's bitboards array is not as made");
    }
    read_placements(bitboards);
  }
  const std::size_t rows = size();
  Buffer white, castling, en_passant;
  take_column(white, batch, "white_to_move", '?', 1, rows, 1);
  take_column(castling, batch, "castling", 'B', 1, rows, 1);
  take_column(en_passant, batch, "en_passant", 'b', 1, rows, 1);
  for (std::size_t row = 0; row < rows; ++row) {
    const bool white_moves = item<std::uint8_t>(white, row) != 0;
    const auto rights = item<std::uint8_t>(castling, row);
    const auto file = item<std::int8_t>(en_passant, row);
    if (rights > 15 || file < -1 || file > 7) {
      // Values that no reading wrote there: the row does not read.
      unreadable_.push_back("castling " + std::to_string(rights) + " and en-passant file " +
                            std::to_string(file) + " name no position");
      sources_[row] = {Source::UNREADABLE, static_cast<std::uint32_t>(unreadable_.size() - 1), {}};
      continue;
    }
    std::uint64_t info = (white_moves ? WHITE_TO_MOVE : 0) | std::uint64_t{rights} << 1;
    if (file >= 0)
      info |= std::uint64_t{1} << (en_passant_group(white_moves ? WHITE : BLACK) + file);
    positions_[row].info = info;
  }
}

Batch::Batch(PyObject* positions, bool bitboards, PyObject* white_to_move) {
  if (bitboards && read_bitboards(positions, white_to_move)) return;
  if (white_to_move != nullptr && white_to_move != Py_None) {
    raise(PyExc_TypeError,
          "argument 'white_to_move': only a bitboards array takes it; positions know their side to "
          "move");
  }
  if (Py_TYPE(positions) == game_batch_type()) {
    read_game_batch(positions);
    return;
  }
  if (read_byte_texts(positions)) return;
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
    } else if (PyBytes_Check(item)) {
      sources_.push_back(bytes_source(
          {PyBytes_AS_STRING(item), static_cast<std::size_t>(PyBytes_GET_SIZE(item))}));
    } else if (PyByteArray_Check(item)) {
      // Read from a copy: the bytearray could be resized while the lock is released.
      OwnedRef copy(
          PyBytes_FromStringAndSize(PyByteArray_AS_STRING(item), PyByteArray_GET_SIZE(item)));
      if (!copy) throw PythonError{};
      const std::string_view bytes(PyBytes_AS_STRING(copy.get()),
                                   static_cast<std::size_t>(PyBytes_GET_SIZE(copy.get())));
      copies_.push_back(std::move(copy));
      sources_.push_back(bytes_source(bytes));
    } else {
      share();
      raise_format(PyExc_TypeError,
                   "position %zu: expected a Board or a FEN text (str or bytes), got '%s'", row,
                   Py_TYPE(item)->tp_name);
    }
  }
  share();
}

bool Batch::read_byte_texts(PyObject* positions) {
  if (!PyObject_CheckBuffer(positions)) return false;
  if (!texts_.acquire(positions, PyBUF_RECORDS_RO)) {
    PyErr_Clear();
    return false;
  }
  if (!holds_byte_texts(texts_)) {
    texts_.release();
    return false;
  }
  const auto rows = static_cast<std::size_t>(texts_.view.shape[0]);
  const auto width = static_cast<std::size_t>(texts_.view.itemsize);
  sources_.reserve(rows);
  for (std::size_t row = 0; row < rows; ++row) {
    const char* item = static_cast<const char*>(texts_.view.buf) +
                       static_cast<Py_ssize_t>(row) * texts_.view.strides[0];
    std::size_t length = width;
    while (length > 0 && item[length - 1] == '\0') --length;
    sources_.push_back(bytes_source({item, length}));
  }
  return true;
}

Source Batch::text_source(PyObject* item) {
  Py_ssize_t length = 0;
  const char* text = PyUnicode_AsUTF8AndSize(item, &length);
  if (text != nullptr) return {Source::TEXT, 0, {text, static_cast<std::size_t>(length)}};
  if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw PythonError{};
  return unreadable_source();
}

Source Batch::bytes_source(std::string_view bytes) {
  if (is_ascii(bytes) || is_utf8(bytes)) return {Source::TEXT, 0, bytes};
  // The interpreter's own words for what does not decode.
  const OwnedRef text(
      PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), nullptr));
  if (text) return {Source::TEXT, 0, bytes};
  if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) throw PythonError{};
  return unreadable_source();
}

Source Batch::unreadable_source() {
  const OwnedRef error(PyErr_GetRaisedException());
  const OwnedRef message(PyObject_Str(error.get()));
  const char* utf8 = message ? PyUnicode_AsUTF8(message.get()) : nullptr;
  if (utf8 == nullptr) throw PythonError{};
  unreadable_.push_back(std::string("Invalid fen: ") + utf8);
  return {Source::UNREADABLE, static_cast<std::uint32_t>(unreadable_.size() - 1), {}};
}

// Returns the position of a row, or why it has none.
std::expected<Position, std::string> position_of(const Batch& batch, std::size_t row) {
  const Source& source = batch[row];
  if (source.kind == Source::BOARD) return batch.position(source);
  if (source.kind == Source::UNREADABLE) return std::unexpected(batch.unreadable(source));
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
  return cut_rows(std::move(array), rows, shape);
}

// Returns the result of a call: the array alone, or with errors="skip" the tuple of the array
// and the mask of the rows that read.
OwnedRef with_mask(OwnedRef result, const Options& options,
                   const std::vector<std::uint8_t>& valid) {
  if (!options.skip) return result;
  OwnedRef mask = array_of(valid, "bool");
  return OwnedRef(created(PyTuple_Pack(2, result.get(), mask.get())));
}

namespace {

// Returns why a view is not one an `out` argument of this shape may be, as the exception class and
// message, or nothing when it is: an item format other than uint8 or bool (TypeError), another
// shape, a read-only or not C-contiguous array, or a length that is not the bytes of the shape
// (ValueError).
std::optional<std::pair<PyObject*, std::string>> out_problem(
    const Buffer& buffer, const std::vector<std::size_t>& shape) {
  const Py_buffer& view = buffer.view;
  const std::string_view format = buffer.format();
  const char code = native_code(buffer);
  if (view.itemsize != 1 || (code != 'B' && code != '?')) {
    std::string message = "argument 'out': expected an array of uint8 or bool, got format '";
    message += format;
    message += "'";
    return std::pair{PyExc_TypeError, std::move(message)};
  }
  const auto dimensions = static_cast<int>(shape.size());
  bool shape_ok = view.ndim == dimensions && view.shape != nullptr;
  for (int k = 0; shape_ok && k < dimensions; ++k)
    shape_ok = view.shape[k] >= 0 && static_cast<std::size_t>(view.shape[k]) == shape[k];
  if (!shape_ok) {
    std::string message = "argument 'out': expected shape (";
    for (std::size_t k = 0; k < shape.size(); ++k)
      message += (k > 0 ? ", " : "") + std::to_string(shape[k]);
    message += "), got (";
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
  std::size_t bytes = 1;
  for (const std::size_t size : shape) bytes *= size;
  if (!buffer.holds(bytes)) {
    std::string message = "argument 'out': its buffer holds " + std::to_string(view.len);
    message += " bytes, not the " + std::to_string(bytes);
    message += " of its shape";
    return std::pair{PyExc_ValueError, std::move(message)};
  }
  return std::nullopt;
}

}  // namespace

void given_output(Output& output, PyObject* out, std::vector<std::size_t> shape) {
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
      if (const auto problem = out_problem(look, shape)) raise(problem->first, problem->second);
    }
    PyErr_SetRaisedException(refusal.release());
    throw PythonError{};
  }
  if (const auto problem = out_problem(output.buffer, shape))
    raise(problem->first, problem->second);
  output.array = OwnedRef(Py_NewRef(out));
  output.shape = std::move(shape);
  output.given = true;
}

// Fills `output` with a new array of the shape from numpy.empty (numpy.zeros with `zeroed`),
// `width` bytes a row.
void new_output(Output& output, std::vector<std::size_t> shape, const char* dtype,
                std::size_t width, bool zeroed) {
  output.array = new_array(shape, dtype, zeroed);
  take_new_array_view(output.buffer, output.array.get(), shape.front() * width, zeroed);
  output.shape = std::move(shape);
}

}  // namespace vorel::python
