// vorel_tools.read_games(): game files straight to arrays. The games are cut from the source and
// their tags read under the interpreter lock; their main lines are replayed into the arrays of a
// batch by native threads without it, while the next batch is being cut.

#include <algorithm>
#include <array>
#include <condition_variable>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/unicode.hpp"
#include "lib/batch.hpp"
#include "lib/game_source.hpp"
#include "lib/numpy_buffer.hpp"
#include "lib/tools_methods.hpp"
#include "notation/game_arrays.hpp"

namespace vorel::python {

namespace {

constexpr long long MAX_BATCH_POSITIONS = 1LL << 30;

// The per-position arrays of a batch, in the order of the GameBatch attributes.
enum RowArray : std::size_t {
  BITBOARDS,
  WHITE_TO_MOVE_ROWS,
  CASTLING,
  EN_PASSANT,
  HALFMOVE_CLOCK,
  FULLMOVE,
  MOVE,
  CLOCK,
  EVAL,
  MATE,
  GAME,
  ROW_ARRAY_NB,
};

struct RowArraySpec {
  const char* name;
  const char* dtype;
  std::size_t item_size;
  std::size_t width;  // items per row
};

constexpr std::array<RowArraySpec, ROW_ARRAY_NB> ROW_ARRAYS = {{
    {"bitboards", "uint64", 8, PIECE_NB},
    {"white_to_move", "bool", 1, 1},
    {"castling", "uint8", 1, 1},
    {"en_passant", "int8", 1, 1},
    {"halfmove_clock", "uint16", 2, 1},
    {"fullmove", "uint16", 2, 1},
    {"move", "uint16", 2, 1},
    {"clock", "float32", 4, 1},
    {"eval", "float32", 4, 1},
    {"mate", "int16", 2, 1},
    {"game", "int32", 4, 1},
}};

// Returns the shape of a per-position array of `rows` rows.
std::vector<std::size_t> row_shape(const RowArraySpec& spec, std::size_t rows) {
  return spec.width == 1 ? std::vector<std::size_t>{rows}
                         : std::vector<std::size_t>{rows, spec.width};
}

// The games of one batch, from being cut to being replayed into its arrays.
struct PendingBatch {
  std::uint64_t first_game = 0;  // the index of its first game among all games read
  std::vector<GameText> games;
  std::vector<std::size_t> first_rows;
  std::vector<std::int32_t> indices;
  std::vector<GameRows> found;
  std::size_t capacity = 0;  // rows of room: the games' move tokens
  std::array<NewArray, ROW_ARRAY_NB> arrays;
  PositionColumns columns{};
  std::vector<LegalMoveLists> legal;   // per part, when legal moves are asked for
  std::vector<std::size_t> part_ends;  // the games each part replays end here

  // Set by the workers: the parts not yet replayed and a fault that stopped one.
  std::mutex mutex;
  std::condition_variable done;
  std::size_t remaining = 0;
  std::exception_ptr fault;

  // Replays part `part` of the games.
  void replay(std::size_t part) noexcept {
    try {
      const std::size_t begin = part == 0 ? 0 : part_ends[part - 1];
      const std::size_t end = part_ends[part];
      const auto range = [&](const auto& values) {
        return std::span(values).subspan(begin, end - begin);
      };
      write_rows(generator(), range(games), range(first_rows), range(indices), columns,
                 legal.empty() ? nullptr : &legal[part],
                 std::span(found).subspan(begin, end - begin));
    } catch (...) {
      const std::lock_guard lock(mutex);
      if (!fault) fault = std::current_exception();
    }
    const std::lock_guard lock(mutex);
    if (--remaining == 0) done.notify_all();
  }
};

// Native threads that replay the parts of batches, in the order they are handed over.
class WorkerPool {
 public:
  explicit WorkerPool(std::size_t threads) {
    workers_.reserve(threads);
    for (std::size_t i = 0; i < threads; ++i) workers_.emplace_back([this] { work(); });
  }
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;
  // Finishes the parts handed over, then joins the threads.
  ~WorkerPool() {
    {
      const std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_all();
  }

  void submit(PendingBatch& batch) {
    {
      const std::lock_guard lock(mutex_);
      for (std::size_t part = 0; part < batch.part_ends.size(); ++part)
        queue_.push_back({&batch, part});
    }
    wake_.notify_all();
  }

 private:
  struct Part {
    PendingBatch* batch;
    std::size_t part;
  };

  void work() {
    while (true) {
      Part part{};
      {
        std::unique_lock lock(mutex_);
        wake_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
        if (queue_.empty()) return;
        part = queue_.front();
        queue_.pop_front();
      }
      part.batch->replay(part.part);
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Part> queue_;
  bool stopping_ = false;
  std::vector<std::jthread> workers_;  // last: joined first, while the queue still exists
};

// Returns the dict of a game's tags (a name given twice keeps its last value).
OwnedRef tags_dict(const std::vector<std::pair<std::string_view, std::string_view>>& tags) {
  OwnedRef dict(created(PyDict_New()));
  for (const auto& [name, value] : tags) {
    const OwnedRef key = decoded(name);
    const OwnedRef text = decoded(value);
    if (PyDict_SetItem(dict.get(), key.get(), text.get()) < 0) throw PythonError{};
  }
  return dict;
}

// Returns the rating a tag gives: a whole number written in digits, or -1.
std::int32_t rating(const std::vector<std::pair<std::string_view, std::string_view>>& tags,
                    std::string_view name) {
  std::int64_t value = -1;
  for (const auto& [tag, text] : tags) {
    if (tag != name) continue;
    const std::string_view digits = trim_white_space(text);
    value = digits.empty() ? -1 : 0;
    for (const char c : digits) {
      if (c < '0' || c > '9' || value > INT32_MAX) {
        value = -1;
        break;
      }
      value = value * 10 + (c - '0');
    }
  }
  return value > INT32_MAX ? -1 : static_cast<std::int32_t>(value);
}

// The tags of the games of a batch, kept compact until the `tags` attribute is first read.
struct BatchTags {
  std::string bytes;
  std::vector<std::uint32_t> ends;  // per tag: where its name, then its value, end in `bytes`
  std::vector<std::size_t> counts;  // tags per game
};

// --- GameBatch ----------------------------------------------------------------------------------

// The attributes of a GameBatch besides the per-position arrays, in order.
enum GameField : std::size_t {
  LEGAL_MOVES = ROW_ARRAY_NB,
  LEGAL_OFFSETS,
  OFFSETS,
  RESULT,
  WHITE_ELO,
  BLACK_ELO,
  LINE,
  ERROR,
  TOKEN,
  TAGS,
  FIELD_NB,
};

struct GameBatchData {
  std::array<OwnedRef, FIELD_NB> fields;
  BatchTags tags;
  std::size_t games = 0;
  std::size_t positions = 0;
  std::uint64_t first_game = 0;
};

using GameBatchObject = Wrapped<GameBatchData>;
PyTypeObject* game_batch_type();

GameBatchObject* self_batch(PyObject* self) {
  return receiver<GameBatchData>(self, game_batch_type(), "GameBatch");
}

PyObject* batch_field(PyObject* self, void* closure) {
  return guarded([&] {
    GameBatchData& batch = self_batch(self)->value;
    const auto field = reinterpret_cast<std::size_t>(closure);
    OwnedRef& value = batch.fields[field];
    if (!value && field == TAGS) {
      // Built on first use: most pipelines never read the tags of every game.
      OwnedRef list(created(PyList_New(static_cast<Py_ssize_t>(batch.games))));
      std::size_t tag = 0;
      std::uint32_t start = 0;
      for (std::size_t game = 0; game < batch.games; ++game) {
        std::vector<std::pair<std::string_view, std::string_view>> tags;
        for (std::size_t i = 0; i < batch.tags.counts[game]; ++i, ++tag) {
          const std::uint32_t name_end = batch.tags.ends[2 * tag];
          const std::uint32_t value_end = batch.tags.ends[2 * tag + 1];
          const std::string_view bytes = batch.tags.bytes;
          tags.emplace_back(bytes.substr(start, name_end - start),
                            bytes.substr(name_end, value_end - name_end));
          start = value_end;
        }
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(game), tags_dict(tags).release());
      }
      value = std::move(list);
    }
    return Py_NewRef(value ? value.get() : Py_None);
  });
}

PyObject* batch_first_game(PyObject* self, void*) {
  return guarded(
      [&] { return created(PyLong_FromUnsignedLongLong(self_batch(self)->value.first_game)); });
}

// The number of games.
Py_ssize_t batch_length(PyObject* self) {
  auto* object = reinterpret_cast<GameBatchObject*>(self);
  return object->constructed ? static_cast<Py_ssize_t>(object->value.games) : 0;
}

PyObject* batch_repr(PyObject* self) {
  return guarded([&] {
    const GameBatchData& batch = self_batch(self)->value;
    return created(PyUnicode_FromFormat("<vorel_tools.GameBatch of %zu games, %zu positions>",
                                        batch.games, batch.positions));
  });
}

int batch_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  auto* object = reinterpret_cast<GameBatchObject*>(self);
  if (!object->constructed) return 0;
  for (const OwnedRef& field : object->value.fields) Py_VISIT(field.get());
  return 0;
}

int batch_clear(PyObject* self) {
  auto* object = reinterpret_cast<GameBatchObject*>(self);
  if (!object->constructed) return 0;
  for (OwnedRef& field : object->value.fields) OwnedRef dropped = std::move(field);
  return 0;
}

constexpr std::array<const char*, FIELD_NB> FIELD_DOCS = {
    "uint64 (n, 12): the piece bitboards of each position, by piece index",
    "bool (n,): White is to move",
    "uint8 (n,): castling rights, bits 1 K, 2 Q, 4 k, 8 q",
    "int8 (n,): the en-passant file as Board.fen() writes it (0 for a), -1 for none",
    "uint16 (n,): half-moves since the last capture or pawn move",
    "uint16 (n,): the move number",
    "uint16 (n,): the move played, as legal_moves() lists it",
    "float32 (n,): the [%clk] after the move, in seconds; NaN without one",
    "float32 (n,): the [%eval] after the move, in pawns from White's side; NaN without one or "
    "for a mate",
    "int16 (n,): the [%eval #n] after the move: n, negative when Black mates; 0 without one",
    "int32 (n,): the index of the position's game in the batch",
    "uint16: the legal moves of every position in generation order (legal_moves=True), else "
    "None",
    "int64 (n + 1,): position i's legal moves are legal_moves[legal_offsets[i]:"
    "legal_offsets[i + 1]] (legal_moves=True), else None",
    "int64 (g + 1,): game j's positions are rows offsets[j]:offsets[j + 1]",
    "int8 (g,): 1 White won, 0 draw, -1 Black won, 2 unknown ('*')",
    "int32 (g,): the WhiteElo tag as a number, -1 when absent or not a number",
    "int32 (g,): the BlackElo tag as a number, -1 when absent or not a number",
    "int64 (g,): the line of each game's first tag or move text, from 1",
    "list of g str or None: why a game could not be read (it then has no positions)",
    "list of g str or None: the token or tag that stopped a game that could not be read",
    "list of g dicts: the tags of each game, in file order",
};

std::vector<PyGetSetDef> batch_getset() {
  std::vector<PyGetSetDef> table;
  for (std::size_t field = 0; field < FIELD_NB; ++field) {
    const char* name = field < ROW_ARRAY_NB ? ROW_ARRAYS[field].name : nullptr;
    switch (field) {
      case LEGAL_MOVES: name = "legal_moves"; break;
      case LEGAL_OFFSETS: name = "legal_offsets"; break;
      case OFFSETS: name = "offsets"; break;
      case RESULT: name = "result"; break;
      case WHITE_ELO: name = "white_elo"; break;
      case BLACK_ELO: name = "black_elo"; break;
      case LINE: name = "line"; break;
      case ERROR: name = "error"; break;
      case TOKEN: name = "token"; break;
      case TAGS: name = "tags"; break;
      default: break;
    }
    table.push_back(
        {name, batch_field, nullptr, FIELD_DOCS[field], reinterpret_cast<void*>(field)});
  }
  table.push_back({"first_game", batch_first_game, nullptr,
                   "the index of the batch's first game among all games read", nullptr});
  table.push_back({nullptr, nullptr, nullptr, nullptr, nullptr});
  return table;
}

std::vector<PyGetSetDef> BATCH_GETSET = batch_getset();

PyType_Slot BATCH_SLOTS[] = {
    {Py_tp_doc, const_cast<char*>("Whole games as arrays, what read_games() yields: per-position "
                                  "arrays of n rows and per-game values of g rows.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<GameBatchData>)},
    {Py_tp_traverse, reinterpret_cast<void*>(batch_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(batch_clear)},
    {Py_tp_getset, BATCH_GETSET.data()},
    {Py_tp_repr, reinterpret_cast<void*>(batch_repr)},
    {Py_sq_length, reinterpret_cast<void*>(batch_length)},
    {0, nullptr},
};

PyType_Spec BATCH_SPEC = {
    "vorel_tools.GameBatch",
    sizeof(GameBatchObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    BATCH_SLOTS,
};

PyTypeObject* game_batch_type() {
  static PyTypeObject* type = nullptr;
  if (type == nullptr) type = create_type(&BATCH_SPEC, "GameBatch");
  return type;
}

// --- The reader ---------------------------------------------------------------------------------

struct GameReaderState {
  GameSource source;
  std::size_t batch_positions;
  std::size_t threads;
  bool legal;
  OwnedRef where;
  std::uint64_t games_read = 0;
  bool closed = false;
  // An error met while cutting a batch, raised once the batches before it are out.
  OwnedRef deferred;
  std::deque<std::unique_ptr<PendingBatch>> pending;
  // Last: destroyed first, so that no worker still writes into a pending batch.
  std::unique_ptr<WorkerPool> pool;
};

using GameReaderObject = Wrapped<GameReaderState>;
PyTypeObject* game_reader_type();

// Cuts the next batch from the source: whole games, until their move tokens reach
// batch_positions or the source ends. The games `where` refuses are left out. An error of the
// source or of `where` ends the cutting: it is kept, to be raised once the games before it are
// out.
std::unique_ptr<PendingBatch> cut_batch(GameReaderState& state) {
  auto batch = std::make_unique<PendingBatch>();
  batch->first_game = state.games_read;
  try {
    while (batch->capacity < state.batch_positions) {
      std::optional<GameText> game = state.source.next();
      if (!game) break;
      if (state.where) {
        const OwnedRef tags = tags_dict(game->tags);
        const OwnedRef verdict(PyObject_CallOneArg(state.where.get(), tags.get()));
        if (!verdict) throw PythonError{};
        const int keep = PyObject_IsTrue(verdict.get());
        if (keep < 0) throw PythonError{};
        if (!keep) continue;
      }
      batch->first_rows.push_back(batch->capacity);
      batch->indices.push_back(static_cast<std::int32_t>(batch->games.size()));
      batch->capacity += game->moves;
      batch->games.push_back(std::move(*game));
    }
  } catch (const PythonError&) {
    state.deferred = OwnedRef(PyErr_GetRaisedException());
  }
  state.games_read += batch->games.size();
  return batch;
}

// Makes the arrays of a batch and splits its games into parts for the threads, by rows.
void prepare(PendingBatch& batch, const GameReaderState& state) {
  for (std::size_t i = 0; i < ROW_ARRAY_NB; ++i) {
    const RowArraySpec& spec = ROW_ARRAYS[i];
    batch.arrays[i] = make_array(row_shape(spec, batch.capacity), spec.dtype, spec.item_size);
  }
  const auto data = [&](RowArray array) { return batch.arrays[array].data(); };
  batch.columns = {static_cast<std::uint64_t*>(data(BITBOARDS)),
                   static_cast<std::uint8_t*>(data(WHITE_TO_MOVE_ROWS)),
                   static_cast<std::uint8_t*>(data(CASTLING)),
                   static_cast<std::int8_t*>(data(EN_PASSANT)),
                   static_cast<std::uint16_t*>(data(HALFMOVE_CLOCK)),
                   static_cast<std::uint16_t*>(data(FULLMOVE)),
                   static_cast<std::uint16_t*>(data(MOVE)),
                   static_cast<float*>(data(CLOCK)),
                   static_cast<float*>(data(EVAL)),
                   static_cast<std::int16_t*>(data(MATE)),
                   static_cast<std::int32_t*>(data(GAME))};
  batch.found.resize(batch.games.size());
  // Consecutive parts of about equal rows, as many as there are threads.
  const std::size_t parts = std::min(state.threads, std::max<std::size_t>(1, batch.games.size()));
  for (std::size_t part = 1; part < parts; ++part) {
    const std::size_t rows = batch.capacity * part / parts;
    const auto end = std::ranges::lower_bound(batch.first_rows, rows) - batch.first_rows.begin();
    batch.part_ends.push_back(std::max<std::size_t>(
        static_cast<std::size_t>(end), batch.part_ends.empty() ? 0 : batch.part_ends.back()));
  }
  batch.part_ends.push_back(batch.games.size());
  if (state.legal) batch.legal.resize(batch.part_ends.size());
  batch.remaining = batch.part_ends.size();
}

// Cuts and hands over batches until as many are pending as keep the threads busy.
void fill(GameReaderState& state) {
  const std::size_t depth = state.pool ? 2 : 1;
  while (state.pending.size() < depth && !state.deferred && !state.closed) {
    std::unique_ptr<PendingBatch> batch = cut_batch(state);
    if (batch->games.empty()) return;
    prepare(*batch, state);
    if (state.pool) state.pool->submit(*batch);
    state.pending.push_back(std::move(batch));
  }
}

// Waits for the batch's parts (replaying them here when there is no pool), then builds its
// GameBatch.
OwnedRef finish(GameReaderState& state, PendingBatch& batch) {
  if (!state.pool) {
    std::optional<ReleasedLock> released;
    if (batch.capacity >= RELEASE_ROWS) released.emplace();
    batch.replay(0);
  } else {
    const ReleasedLock released;
    std::unique_lock lock(batch.mutex);
    batch.done.wait(lock, [&] { return batch.remaining == 0; });
  }
  if (batch.fault) std::rethrow_exception(batch.fault);

  OwnedRef object = wrap(game_batch_type(), GameBatchData{});
  GameBatchData& data = reinterpret_cast<GameBatchObject*>(object.get())->value;

  const std::size_t games = batch.games.size();
  const std::size_t rows = close_gaps(batch.columns, batch.first_rows, batch.found);
  for (std::size_t i = 0; i < ROW_ARRAY_NB; ++i) {
    NewArray& array = batch.arrays[i];
    array.view.reset();  // written: the view goes before the array is cut down
    cut_rows(array.array.get(), rows, row_shape(ROW_ARRAYS[i], batch.capacity));
    data.fields[i] = std::move(array.array);
  }
  if (state.legal) {
    std::size_t total = 0;
    for (const LegalMoveLists& part : batch.legal) total += part.moves.size();
    NewArray moves = make_array({total}, "uint16", sizeof(std::uint16_t));
    NewArray offsets = make_array({rows + 1}, "int64", sizeof(std::int64_t));
    auto* move_out = static_cast<std::uint16_t*>(moves.data());
    auto* offset_out = static_cast<std::int64_t*>(offsets.data());
    std::int64_t offset = 0;
    *offset_out++ = 0;
    for (const LegalMoveLists& part : batch.legal) {
      move_out = std::ranges::copy(part.moves, move_out).out;
      for (const std::int64_t count : part.counts) *offset_out++ = offset += count;
    }
    data.fields[LEGAL_MOVES] = std::move(moves.array);
    data.fields[LEGAL_OFFSETS] = std::move(offsets.array);
  }

  NewArray offsets = make_array({games + 1}, "int64", sizeof(std::int64_t));
  NewArray result = make_array({games}, "int8", 1);
  NewArray white_elo = make_array({games}, "int32", sizeof(std::int32_t));
  NewArray black_elo = make_array({games}, "int32", sizeof(std::int32_t));
  NewArray line = make_array({games}, "int64", sizeof(std::int64_t));
  OwnedRef errors(created(PyList_New(static_cast<Py_ssize_t>(games))));
  OwnedRef tokens(created(PyList_New(static_cast<Py_ssize_t>(games))));
  auto* offset_out = static_cast<std::int64_t*>(offsets.data());
  std::int64_t offset = 0;
  *offset_out++ = 0;
  constexpr std::int8_t RESULT_CODES[] = {1, 0, -1, 2};
  for (std::size_t j = 0; j < games; ++j) {
    const GameText& game = batch.games[j];
    const GameRows& found = batch.found[j];
    *offset_out++ = offset += found.rows;
    static_cast<std::int8_t*>(result.data())[j] =
        RESULT_CODES[static_cast<std::size_t>(found.result)];
    static_cast<std::int32_t*>(white_elo.data())[j] = rating(game.tags, "WhiteElo");
    static_cast<std::int32_t*>(black_elo.data())[j] = rating(game.tags, "BlackElo");
    static_cast<std::int64_t*>(line.data())[j] = static_cast<std::int64_t>(game.line);
    PyList_SET_ITEM(errors.get(), static_cast<Py_ssize_t>(j),
                    found.error.empty() ? Py_NewRef(Py_None) : decoded(found.error).release());
    PyList_SET_ITEM(tokens.get(), static_cast<Py_ssize_t>(j),
                    found.error.empty() ? Py_NewRef(Py_None) : decoded(found.token).release());
    for (const auto& [name, value] : game.tags) {
      data.tags.bytes.append(name);
      data.tags.ends.push_back(static_cast<std::uint32_t>(data.tags.bytes.size()));
      data.tags.bytes.append(value);
      data.tags.ends.push_back(static_cast<std::uint32_t>(data.tags.bytes.size()));
    }
    data.tags.counts.push_back(game.tags.size());
  }
  data.fields[OFFSETS] = std::move(offsets.array);
  data.fields[RESULT] = std::move(result.array);
  data.fields[WHITE_ELO] = std::move(white_elo.array);
  data.fields[BLACK_ELO] = std::move(black_elo.array);
  data.fields[LINE] = std::move(line.array);
  data.fields[ERROR] = std::move(errors);
  data.fields[TOKEN] = std::move(tokens);
  data.games = games;
  data.positions = rows;
  data.first_game = batch.first_game;
  return object;
}

// Ends the reading: the pending batches are dropped (once their threads are done) and the file
// closed if the reader opened it.
void close_reader(GameReaderState& state) {
  if (state.closed) return;
  state.closed = true;
  state.pool.reset();
  state.pending.clear();
  state.deferred = OwnedRef();
  state.source.close();
}

PyObject* reader_next(PyObject* self) {
  return guarded([&]() -> PyObject* {
    GameReaderObject* object = receiver<GameReaderState>(self, game_reader_type(), "GameReader");
    const ExclusiveBorrow access = borrow<true>(object->borrow);
    GameReaderState& state = object->value;
    fill(state);
    if (state.pending.empty()) {
      if (state.deferred) {
        PyErr_SetRaisedException(state.deferred.release());
        close_reader(state);
        throw PythonError{};
      }
      close_reader(state);
      return nullptr;  // the end of the iteration
    }
    std::unique_ptr<PendingBatch> batch = std::move(state.pending.front());
    state.pending.pop_front();
    if (state.pool) fill(state);  // the threads go on with the next batch meanwhile
    return finish(state, *batch).release();
  });
}

PyObject* reader_close(PyObject* self, PyObject*) {
  return guarded([&] {
    GameReaderObject* object = receiver<GameReaderState>(self, game_reader_type(), "GameReader");
    const ExclusiveBorrow access = borrow<true>(object->borrow);
    close_reader(object->value);
    return Py_NewRef(Py_None);
  });
}

PyObject* reader_enter(PyObject* self, PyObject*) {
  return guarded([&] {
    receiver<GameReaderState>(self, game_reader_type(), "GameReader");
    return Py_NewRef(self);
  });
}

PyObject* reader_exit(PyObject* self, PyObject* const*, Py_ssize_t) {
  return reader_close(self, nullptr);
}

int reader_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  auto* object = reinterpret_cast<GameReaderObject*>(self);
  if (!object->constructed) return 0;
  Py_VISIT(object->value.where.get());
  Py_VISIT(object->value.deferred.get());
  return object->value.source.traverse(visit, arg);
}

int reader_clear(PyObject* self) {
  auto* object = reinterpret_cast<GameReaderObject*>(self);
  if (!object->constructed) return 0;
  GameReaderState& state = object->value;
  OwnedRef where = std::move(state.where);
  OwnedRef deferred = std::move(state.deferred);
  state.source.clear();
  return 0;
}

void reader_dealloc(PyObject* self) {
  auto* object = reinterpret_cast<GameReaderObject*>(self);
  if (object->constructed && !object->value.closed) {
    // A reader dropped before its end still closes the file it opened.
    PyObject_GC_UnTrack(self);
    PyObject* pending = PyErr_GetRaisedException();
    PyObject* done = guarded([&] {
      close_reader(object->value);
      return Py_NewRef(Py_None);
    });
    if (done == nullptr) {
      PyErr_WriteUnraisable(self);
    } else {
      Py_DECREF(done);
    }
    PyErr_SetRaisedException(pending);
  }
  dealloc<GameReaderState>(self);
}

PyMethodDef READER_METHODS[] = {
    {"close", reader_close, METH_NOARGS,
     "close($self)\n--\n\nEnds the reading, closing the file if read_games() opened it."},
    {"__enter__", reader_enter, METH_NOARGS, "__enter__($self)\n--\n\n"},
    {"__exit__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(reader_exit)),
     METH_FASTCALL, "__exit__($self, /, *exc_info)\n--\n\nCalls close()."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot READER_SLOTS[] = {
    {Py_tp_doc, const_cast<char*>("Batches of whole games as arrays: what read_games() returns.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(reader_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(reader_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(reader_clear)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(reader_next)},
    {Py_tp_methods, READER_METHODS},
    {0, nullptr},
};

PyType_Spec READER_SPEC = {
    "vorel_tools.GameReader",
    sizeof(GameReaderObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    READER_SLOTS,
};

PyTypeObject* game_reader_type() {
  static PyTypeObject* type = nullptr;
  if (type == nullptr) type = create_type(&READER_SPEC, "GameReader");
  return type;
}

constexpr Signature<5> READ_GAMES_SIGNATURE{
    "read_games()", {"source", "batch_positions", "threads", "legal_moves", "where"}, 1, 1};

PyObject* read_games_function(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  return guarded([&] {
    const auto [source, batch_positions, threads, legal_moves, where] =
        parse(READ_GAMES_SIGNATURE, args, nargs, kwnames);
    std::size_t positions = 65536;
    if (batch_positions != nullptr) {
      const IndexArgument value = index_argument(batch_positions, "batch_positions");
      if (!value.within(1, MAX_BATCH_POSITIONS)) {
        raise_format(PyExc_ValueError, "batch_positions must be from 1 to %lld, not %R",
                     MAX_BATCH_POSITIONS, value.number.get());
      }
      positions = static_cast<std::size_t>(*value.value);
    }
    std::size_t thread_count = 1;
    if (threads != nullptr) {
      const IndexArgument value = index_argument(threads, "threads");
      if (!value.within(1, MAX_THREADS)) {
        raise_format(PyExc_ValueError, "threads must be from 1 to %lld, not %R", MAX_THREADS,
                     value.number.get());
      }
      thread_count = static_cast<std::size_t>(*value.value);
    }
    const int legal = legal_moves == nullptr ? 0 : PyObject_IsTrue(legal_moves);
    if (legal < 0) throw PythonError{};
    if (where != nullptr && where != Py_None && !PyCallable_Check(where)) {
      raise_format(PyExc_TypeError, "argument 'where': expected a callable or None, got '%s'",
                   Py_TYPE(where)->tp_name);
    }
    generator();  // built before any thread needs it
    OwnedRef object = wrap(
        game_reader_type(),
        GameReaderState{GameSource(source, true),
                        positions,
                        thread_count,
                        legal != 0,
                        OwnedRef(where != nullptr && where != Py_None ? Py_NewRef(where) : nullptr),
                        0,
                        false,
                        OwnedRef(),
                        {},
                        nullptr});
    if (thread_count > 1) {
      reinterpret_cast<GameReaderObject*>(object.get())->value.pool =
          std::make_unique<WorkerPool>(thread_count);
    }
    return object;
  });
}

PyMethodDef GAME_METHODS[] = {
    {"read_games", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(read_games_function)),
     METH_FASTCALL | METH_KEYWORDS,
     "read_games(source, *, batch_positions=65536, threads=1, legal_moves=False, "
     "where=None)\n--\n\n"
     "Returns an iterator over batches of whole games as arrays (GameBatch objects)."},
};

}  // namespace

std::span<const PyMethodDef> game_methods() { return GAME_METHODS; }

void add_game_types(PyObject* module) {
  if (PyModule_AddObjectRef(module, "GameBatch", reinterpret_cast<PyObject*>(game_batch_type())) <
          0 ||
      PyModule_AddObjectRef(module, "GameReader", reinterpret_cast<PyObject*>(game_reader_type())) <
          0)
    throw PythonError{};
}

}  // namespace vorel::python
