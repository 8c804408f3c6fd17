#pragma once

// Where read_pgn() and read_games() read games from: a path (decompressed as its first bytes say),
// a file object opened in binary or text mode, or (read_games) a sequence of game texts, one game
// each.

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "lib/python_support.hpp"
#include "notation/pgn_game.hpp"

namespace vorel::python {

// Returns a str of a tag, value, token or message of a game file: the bytes as UTF-8, or as
// Latin-1 when they are not (as game files used to be written).
OwnedRef decoded(std::string_view bytes);

// Returns the dict of a game's tags (a name given twice keeps its last value).
OwnedRef tags_dict(const std::vector<std::pair<std::string_view, std::string_view>>& tags);

class GameSource {
 public:
  // Opens `source`, the argument `name` of `function`: a path (str, bytes, path-like), a file
  // object (anything with read()), or, when `sequences` allows, any other iterable of texts.
  // Raises TypeError for anything else, and the opener's error when a path cannot be opened.
  GameSource(PyObject* source, bool sequences);

  // Returns the next game, or nothing once the input is over (or close() was called). An error
  // of the source (read() raising or returning no bytes or str, an item of a sequence that is no
  // text, a file object whose bytes are compressed) is raised; the game in progress is dropped,
  // and the source is finished: later calls return nothing.
  std::optional<GameText> next();

  // The bytes of the file read so far: for a path, of the file as it lies on disk (its
  // compressed bytes when it is compressed); for a file object, those its read() returned (a
  // text file's as UTF-8). Nothing for a sequence of texts, nor for a compressed file that cannot
  // tell its position (a pipe).
  std::optional<long long> bytes_read() const {
    if (iterator_) return std::nullopt;
    return bytes_read_;
  }

  // Ends the reading: closes the file the source opened itself, and its decompressor. Closing
  // twice does nothing.
  void close();

  // For the garbage collector: the Python objects held.
  int traverse(visitproc visit, void* arg) const;
  void clear();

 private:
  // Opens a path in binary mode, through the decompressor of the format its first bytes have
  // (gzip, bzip2, xz, zstd), else of the one its suffix names (.lzma has no magic number), else
  // as it is. Raises the opener's error, the file closed.
  void open_path(PyObject* path);
  // Reads the next chunk of the file into the splitter; at the end of the file, finishes it.
  // Raises ValueError when a file object's first bytes are those of a compressed format.
  void read_chunk();
  // Adds what a read() of the file returned to bytes_read_.
  void count_read(PyObject* chunk);
  // Hands bytes of the game text to the splitter.
  void feed(std::string_view bytes);
  // Decompresses a chunk of a .zst file read through the zstandard package, frame after frame,
  // into the splitter; at the end of the file (an empty chunk), raises EOFError when the last
  // frame was cut short, as the standard library's decompressing readers do.
  void feed_frames(PyObject* chunk);
  // Reads the next item of a sequence as one game.
  std::optional<GameText> next_item();

  OwnedRef file_;       // the file object, or null for a sequence
  OwnedRef raw_;        // the file under file_ when that decompresses it
  OwnedRef iterator_;   // the sequence's iterator, or null for a file
  bool owned_ = false;  // the file was opened here, and is closed here
  // The first bytes of the file were looked at (always for a path or a sequence); `head_` holds
  // a file object's first bytes until they are.
  bool looked_ = false;
  std::string head_;
  std::optional<long long> bytes_read_ = 0;  // nothing once a decompressed pipe's is not known
  // For a .zst path before Python 3.14: the zstandard package's decompressor, and the
  // decompression of the frame in progress (null between frames); `file_` is then the
  // compressed file.
  OwnedRef zstd_;
  OwnedRef frame_;
  // An error of decompression, raised once the games whose text came before it are given.
  OwnedRef held_error_;
  bool finished_ = false;
  GameSplitter splitter_;
  TextStore items_;
};

}  // namespace vorel::python
