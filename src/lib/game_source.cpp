#include "lib/game_source.hpp"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "common/unicode.hpp"
#include "lib/numpy_buffer.hpp"
#include "notation/game_replay.hpp"

namespace vorel::python {

namespace {

// Characters asked of a text file by each read() (bytes of a binary file): a UTF-8 character
// takes at most 4 bytes, and every chunk fits the splitter's room at least once over.
constexpr Py_ssize_t CHUNK_SIZE = Py_ssize_t{1} << 18;
// Compressed bytes read at a time from a .zst file decompressed here: their text (about five
// times as many bytes) then stays in the processor's cache on its way to the splitter.
constexpr Py_ssize_t COMPRESSED_CHUNK_SIZE = Py_ssize_t{1} << 15;

// The compressed formats a game file is read in.
enum class Compression : std::uint8_t { NONE, GZIP, BZIP2, XZ, LZMA, ZSTD };

// The most bytes a magic number below takes.
constexpr std::size_t MAGIC_SIZE = 6;

// Returns the format whose magic number the bytes start with, or NONE: gzip 1f 8b, bzip2 "BZh"
// and a block size '1' to '9', xz fd "7zXZ" 00, zstd 28 b5 2f fd or a skippable frame 5x 2a 4d 18.
// The legacy .lzma format has none.
Compression compression_of(std::string_view head) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(head[i]); };
  if (head.starts_with("\x1f\x8b")) return Compression::GZIP;
  if (head.size() >= 4 && head.starts_with("BZh") && head[3] >= '1' && head[3] <= '9')
    return Compression::BZIP2;
  if (head.starts_with(std::string_view("\xfd\x37\x7a\x58\x5a\x00", 6))) return Compression::XZ;
  if (head.starts_with("\x28\xb5\x2f\xfd")) return Compression::ZSTD;
  if (head.size() >= 4 && (byte(0) & 0xF0) == 0x50 && head.substr(1, 3) == "\x2a\x4d\x18")
    return Compression::ZSTD;
  return Compression::NONE;
}

// Returns the format a path's suffix names (.gz, .bz2, .xz, .lzma, .zst, .zstd, in any case), or
// NONE.
Compression compression_named(PyObject* path) {
  OwnedRef encoded(PyBytes_Check(path) ? Py_NewRef(path) : PyUnicode_EncodeFSDefault(path));
  if (!encoded) throw PythonError{};
  std::string name(PyBytes_AS_STRING(encoded.get()),
                   static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get())));
  std::ranges::transform(name, name.begin(), [](unsigned char c) { return std::tolower(c); });
  if (name.ends_with(".gz")) return Compression::GZIP;
  if (name.ends_with(".bz2")) return Compression::BZIP2;
  if (name.ends_with(".xz")) return Compression::XZ;
  if (name.ends_with(".lzma")) return Compression::LZMA;
  if (name.ends_with(".zst") || name.ends_with(".zstd")) return Compression::ZSTD;
  return Compression::NONE;
}

const char* compression_name(Compression compression) {
  switch (compression) {
    case Compression::GZIP: return "gzip";
    case Compression::BZIP2: return "bzip2";
    case Compression::XZ: return "xz";
    case Compression::LZMA: return "lzma";
    case Compression::ZSTD: return "zstd";
    case Compression::NONE: break;
  }
  return "uncompressed";
}

// Returns module.name(*arguments, **keywords), importing the module.
OwnedRef call_from(const char* module, const char* name, PyObject* arguments,
                   PyObject* keywords = nullptr) {
  const OwnedRef imported(PyImport_ImportModule(module));
  if (!imported) throw PythonError{};
  const OwnedRef callable(PyObject_GetAttrString(imported.get(), name));
  if (!callable) throw PythonError{};
  OwnedRef result(PyObject_Call(callable.get(), arguments, keywords));
  if (!result) throw PythonError{};
  return result;
}

// The bytes of a chunk a file's read() returned, or of an item of a sequence: bytes-like objects
// as they are, str as UTF-8. Holds the view it reads through.
class TextBytes {
 public:
  // Returns false (with no error set) for an object that is neither str nor bytes-like (a buffer
  // of items of one byte: bytes, bytearray, a uint8 array); raises the interpreter's error for a
  // str without a UTF-8 form, and the exporter's when it refuses a view.
  bool read(PyObject* object) {
    if (PyUnicode_Check(object)) {
      Py_ssize_t size = 0;
      const char* text = PyUnicode_AsUTF8AndSize(object, &size);
      if (text == nullptr) throw PythonError{};
      bytes_ = {text, static_cast<std::size_t>(size)};
      return true;
    }
    if (!PyObject_CheckBuffer(object)) return false;
    if (!buffer_.acquire(object, PyBUF_ND | PyBUF_FORMAT)) throw PythonError{};
    // Numbers (a NumPy integer, a row of a 2-D array of str) have buffers too: their bytes are
    // no text.
    const std::string_view format = buffer_.format();
    if (buffer_.view.itemsize != 1 || (format != "B" && format != "b" && format != "c")) {
      buffer_.release();
      return false;
    }
    bytes_ = {static_cast<const char*>(buffer_.view.buf),
              static_cast<std::size_t>(std::max<Py_ssize_t>(buffer_.view.len, 0))};
    return true;
  }

  std::string_view bytes() const { return bytes_; }

 private:
  Buffer buffer_;
  std::string_view bytes_;
};

// Returns true when the object has the attribute; raises what looking it up raises but
// AttributeError.
bool has_attribute(PyObject* object, const char* name) {
  const OwnedRef attribute(PyObject_GetAttrString(object, name));
  if (attribute) return true;
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PythonError{};
  PyErr_Clear();
  return false;
}

}  // namespace

OwnedRef decoded(std::string_view bytes) {
  const auto size = static_cast<Py_ssize_t>(bytes.size());
  return OwnedRef(created(is_utf8(bytes) ? PyUnicode_DecodeUTF8(bytes.data(), size, nullptr)
                                         : PyUnicode_DecodeLatin1(bytes.data(), size, nullptr)));
}

OwnedRef tags_dict(const std::vector<std::pair<std::string_view, std::string_view>>& tags) {
  OwnedRef dict(created(PyDict_New()));
  for (const auto& [name, value] : tags) {
    const OwnedRef key = decoded(name);
    const OwnedRef text = decoded(value);
    if (PyDict_SetItem(dict.get(), key.get(), text.get()) < 0) throw PythonError{};
  }
  return dict;
}

GameSource::GameSource(PyObject* source, bool sequences) {
  if (has_attribute(source, "read")) {
    file_ = OwnedRef(Py_NewRef(source));  // its first bytes are looked at by read_chunk()
    return;
  }
  const bool path_like = PyUnicode_Check(source) || PyBytes_Check(source) ||
                         has_attribute(reinterpret_cast<PyObject*>(Py_TYPE(source)), "__fspath__");
  if (path_like || !sequences) {
    const OwnedRef path(PyOS_FSPath(source));
    if (!path) {
      PyErr_Clear();
      raise_format(PyExc_TypeError,
                   sequences ? "argument 'source': expected a path, a file object or a sequence "
                               "of game texts, got '%s'"
                             : "argument 'source': expected a path or a file object, got '%s'",
                   Py_TYPE(source)->tp_name);
    }
    open_path(path.get());
    return;
  }
  looked_ = true;  // a sequence's items are games, not a stream
  iterator_ = OwnedRef(PyObject_GetIter(source));
  if (!iterator_) {
    PyErr_Clear();
    raise_format(PyExc_TypeError,
                 "argument 'source': expected a path, a file object or a sequence of game "
                 "texts, got '%s'",
                 Py_TYPE(source)->tp_name);
  }
}

void GameSource::open_path(PyObject* path) {
  const OwnedRef open_arguments(Py_BuildValue("(Os)", path, "rb"));
  if (!open_arguments) throw PythonError{};
  OwnedRef raw = call_from("io", "open", open_arguments.get());
  owned_ = true;
  looked_ = true;
  try {
    // Looked at without being consumed, so that a pipe or a terminal reads from its start too.
    const OwnedRef head(PyObject_CallMethod(raw.get(), "peek", "n", Py_ssize_t{MAGIC_SIZE}));
    if (!head) throw PythonError{};
    Compression compression = Compression::NONE;
    if (PyBytes_Check(head.get())) {
      compression = compression_of(
          {PyBytes_AS_STRING(head.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(head.get()))});
    }
    // Bytes of no known format under a name that says compressed meet that decompressor, whose
    // error says what is wrong; the legacy .lzma format, which has no magic number, is read so.
    if (compression == Compression::NONE) compression = compression_named(path);
    // Returns module.name(raw).
    const auto wrap = [&](const char* module, const char* name) {
      const OwnedRef arguments(PyTuple_Pack(1, raw.get()));
      if (!arguments) throw PythonError{};
      return call_from(module, name, arguments.get());
    };
    switch (compression) {
      case Compression::NONE: file_ = std::move(raw); return;
      case Compression::GZIP: {
        const OwnedRef keywords(Py_BuildValue("{s:O,s:s}", "fileobj", raw.get(), "mode", "rb"));
        const OwnedRef none(PyTuple_New(0));
        if (!keywords || !none) throw PythonError{};
        file_ = call_from("gzip", "GzipFile", none.get(), keywords.get());
        break;
      }
      case Compression::BZIP2: file_ = wrap("bz2", "BZ2File"); break;
      case Compression::XZ:
      case Compression::LZMA: file_ = wrap("lzma", "LZMAFile"); break;
      case Compression::ZSTD: {
        const OwnedRef zstd(PyImport_ImportModule("compression.zstd"));
        if (zstd) {
          file_ = wrap("compression.zstd", "ZstdFile");
          break;
        }
        if (!PyErr_ExceptionMatches(PyExc_ImportError)) throw PythonError{};
        // Before Python 3.14: the zstandard package's own reader ends a frame cut short without
        // an error, so its frames are decompressed here, from the file itself.
        PyErr_Clear();
        const OwnedRef none(PyTuple_New(0));
        if (!none) throw PythonError{};
        zstd_ = call_from("zstandard", "ZstdDecompressor", none.get());
        file_ = std::move(raw);
        return;
      }
    }
    raw_ = std::move(raw);  // the decompressor leaves it open: closed after it
  } catch (const PythonError&) {
    OwnedRef error(PyErr_GetRaisedException());
    if (raw) {
      const OwnedRef done(PyObject_CallMethod(raw.get(), "close", nullptr));
      if (!done) PyErr_Clear();  // the first error is the one to tell
    }
    PyErr_SetRaisedException(error.release());
    throw;
  }
}

std::optional<GameText> GameSource::next() {
  if (finished_) return std::nullopt;
  try {
    if (iterator_) return next_item();
    while (true) {
      if (std::optional<GameText> game = splitter_.next()) return game;
      if (splitter_.finished()) {
        finished_ = true;
        return std::nullopt;
      }
      if (held_error_) {
        PyErr_SetRaisedException(held_error_.release());
        throw PythonError{};
      }
      // A file object in C (a path's) runs no Python code that would see a signal: a long
      // stretch without a game (white space, comments, /dev/zero) could not be interrupted.
      if (PyErr_CheckSignals() < 0) throw PythonError{};
      read_chunk();
    }
  } catch (...) {
    // What was read stays read; what would come after an error is not read at all.
    finished_ = true;
    throw;
  }
}

void GameSource::read_chunk() {
  static PyObject* const read_name = PyUnicode_InternFromString("read");
  if (read_name == nullptr) throw PythonError{};
  const OwnedRef wanted(PyLong_FromSsize_t(zstd_ ? COMPRESSED_CHUNK_SIZE : CHUNK_SIZE));
  if (!wanted) throw PythonError{};
  const OwnedRef chunk(PyObject_CallMethodOneArg(file_.get(), read_name, wanted.get()));
  if (!chunk) throw PythonError{};
  count_read(chunk.get());
  if (zstd_) {
    try {
      feed_frames(chunk.get());
    } catch (const PythonError&) {
      // The frames before a damaged one are whole: their games are given before the error.
      held_error_ = OwnedRef(PyErr_GetRaisedException());
    }
    return;
  }
  TextBytes text;
  if (!text.read(chunk.get())) {
    raise_format(PyExc_TypeError, "the file's read() returned '%s', expected bytes or str",
                 Py_TYPE(chunk.get())->tp_name);
  }
  const bool end = text.bytes().empty();
  if (looked_) {
    feed(text.bytes());
  } else {
    // A file object's first bytes are held until there are enough to tell compressed ones,
    // which are refused rather than read as text; a text file's str chunks are text.
    const bool binary = !PyUnicode_Check(chunk.get());
    head_.append(text.bytes());
    if (binary && head_.size() < MAGIC_SIZE && !end) return;
    looked_ = true;
    const Compression compression = binary ? compression_of(head_) : Compression::NONE;
    if (compression != Compression::NONE) {
      raise_format(PyExc_ValueError,
                   "the source holds %s-compressed bytes: pass the file's path, or a file object "
                   "that decompresses them",
                   compression_name(compression));
    }
    feed(head_);
    head_ = std::string();
  }
  if (end) splitter_.finish();
}

void GameSource::count_read(PyObject* chunk) {
  if (raw_) {
    // The file under a decompressor: where it stands is what was read of it. A pipe cannot
    // tell: how much of it was read is then not known.
    if (!bytes_read_) return;
    static PyObject* const tell_name = PyUnicode_InternFromString("tell");
    if (tell_name == nullptr) throw PythonError{};
    const OwnedRef position(PyObject_CallMethodNoArgs(raw_.get(), tell_name));
    if (!position) {
      if (!PyErr_ExceptionMatches(PyExc_OSError)) throw PythonError{};
      PyErr_Clear();
      bytes_read_.reset();
      return;
    }
    const long long value = PyLong_AsLongLong(position.get());
    if (value == -1 && PyErr_Occurred()) throw PythonError{};
    bytes_read_ = value;
  } else if (PyBytes_Check(chunk)) {
    *bytes_read_ += PyBytes_GET_SIZE(chunk);
  } else if (PyUnicode_Check(chunk)) {
    // A str without a UTF-8 form adds nothing: it is refused when it is read.
    Py_ssize_t size = 0;
    if (PyUnicode_AsUTF8AndSize(chunk, &size) != nullptr) *bytes_read_ += size;
    PyErr_Clear();
  } else {
    // Another bytes-like object; one that offers no buffer is refused when it is read.
    const Buffer buffer(chunk, PyBUF_SIMPLE, std::nothrow);
    *bytes_read_ += buffer.view.len;
  }
}

void GameSource::feed(std::string_view bytes) {
  while (!bytes.empty()) {
    const std::span<char> space = splitter_.space();
    const std::size_t size = std::min(space.size(), bytes.size());
    std::memcpy(space.data(), bytes.data(), size);
    splitter_.commit(size);
    bytes.remove_prefix(size);
  }
}

void GameSource::feed_frames(PyObject* chunk) {
  if (!PyBytes_Check(chunk)) {
    raise_format(PyExc_TypeError, "the file's read() returned '%s', expected bytes",
                 Py_TYPE(chunk)->tp_name);
  }
  if (PyBytes_GET_SIZE(chunk) == 0) {
    if (frame_) {
      PyErr_SetString(PyExc_EOFError,
                      "Compressed file ended before the end-of-stream marker was reached");
      throw PythonError{};
    }
    splitter_.finish();
    return;
  }
  OwnedRef input(Py_NewRef(chunk));
  while (PyBytes_GET_SIZE(input.get()) > 0) {
    if (!frame_) {
      frame_ = OwnedRef(PyObject_CallMethod(zstd_.get(), "decompressobj", nullptr));
      if (!frame_) throw PythonError{};
    }
    const OwnedRef out(PyObject_CallMethod(frame_.get(), "decompress", "O", input.get()));
    if (!out) throw PythonError{};
    if (!PyBytes_Check(out.get())) {
      raise_format(PyExc_TypeError, "zstd decompression gave '%s', expected bytes",
                   Py_TYPE(out.get())->tp_name);
    }
    feed({PyBytes_AS_STRING(out.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(out.get()))});
    const OwnedRef ended(PyObject_GetAttrString(frame_.get(), "eof"));
    if (!ended) throw PythonError{};
    const int eof = PyObject_IsTrue(ended.get());
    if (eof < 0) throw PythonError{};
    if (eof == 0) break;
    // The frame is whole: what follows it starts the next one.
    input = OwnedRef(PyObject_GetAttrString(frame_.get(), "unused_data"));
    if (!input) throw PythonError{};
    if (!PyBytes_Check(input.get())) {
      raise_format(PyExc_TypeError, "zstd decompression left '%s', expected bytes",
                   Py_TYPE(input.get())->tp_name);
    }
    frame_ = OwnedRef();
  }
}

std::optional<GameText> GameSource::next_item() {
  OwnedRef item(PyIter_Next(iterator_.get()));
  if (!item) {
    if (PyErr_Occurred()) throw PythonError{};
    finished_ = true;
    return std::nullopt;
  }
  // A scalar of an Arrow array gives its value with as_py(): None for a null, whose buffer cannot
  // be asked for (a valid one's can, so that is looked for first).
  if (!PyUnicode_Check(item.get()) && !PyBytes_Check(item.get()) && item.get() != Py_None &&
      has_attribute(item.get(), "as_py")) {
    item = OwnedRef(PyObject_CallMethod(item.get(), "as_py", nullptr));
    if (!item) throw PythonError{};
  }
  GameText game;
  if (item.get() == Py_None) {
    game.failure = "No game text: the item is None";
    game.failure_token = "None";
    return game;
  }
  TextBytes text;
  bool readable = false;
  try {
    readable = text.read(item.get());
  } catch (const PythonError&) {
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw;
    // A str without a UTF-8 form (a lone surrogate) is that game's fault, not the source's.
    const OwnedRef error(PyErr_GetRaisedException());
    const OwnedRef message(PyObject_Str(error.get()));
    const char* utf8 = message ? PyUnicode_AsUTF8(message.get()) : nullptr;
    if (utf8 == nullptr) throw PythonError{};
    game.failure = std::string("Unreadable text: ") + utf8;
    game.failure_token = utf8_prefix(utf8, MAX_TOKEN);
    return game;
  }
  if (!readable) {
    raise_format(PyExc_TypeError, "the source's item is '%s', expected a game text (str or bytes)",
                 Py_TYPE(item.get())->tp_name);
  }
  std::string_view rest;
  game = whole_game(items_.copy(text.bytes()), &rest);
  game.storage = items_.block();
  if (!rest.empty()) {
    game.failure = "More than one game in one text: each item is one game";
    game.failure_token = utf8_prefix(trim_white_space(rest), MAX_TOKEN);
  }
  return game;
}

void GameSource::close() {
  finished_ = true;
  iterator_ = OwnedRef();
  if (!owned_) return;
  // The decompressor first, then the file under it, which it leaves open. As in a finally
  // clause, an error of the first is the context of one of the second.
  OwnedRef error;
  for (OwnedRef* held : {&file_, &raw_}) {
    const OwnedRef file = std::move(*held);
    if (!file) continue;
    const OwnedRef done(PyObject_CallMethod(file.get(), "close", nullptr));
    if (done) continue;
    OwnedRef raised(PyErr_GetRaisedException());
    if (error) PyException_SetContext(raised.get(), error.release());  // steals the context
    error = std::move(raised);
  }
  if (error) {
    PyErr_SetRaisedException(error.release());
    throw PythonError{};
  }
}

int GameSource::traverse(visitproc visit, void* arg) const {
  Py_VISIT(file_.get());
  Py_VISIT(raw_.get());
  Py_VISIT(iterator_.get());
  Py_VISIT(zstd_.get());
  Py_VISIT(frame_.get());
  Py_VISIT(held_error_.get());
  return 0;
}

void GameSource::clear() {
  finished_ = true;
  OwnedRef file = std::move(file_);
  OwnedRef raw = std::move(raw_);
  OwnedRef iterator = std::move(iterator_);
  OwnedRef zstd = std::move(zstd_);
  OwnedRef frame = std::move(frame_);
  OwnedRef held_error = std::move(held_error_);
}

}  // namespace vorel::python
