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
#include <span>
#include <vector>

#include "lib/batch.hpp"
#include "lib/game_batch.hpp"
#include "lib/game_source.hpp"
#include "lib/reader_type.hpp"
#include "lib/tools_methods.hpp"
#include "lib/worker_pool.hpp"
#include "notation/game_arrays.hpp"

namespace vorel::python {

namespace {

constexpr long long MAX_BATCH_POSITIONS = 1LL << 30;

// The games of one batch, from being cut until their GameBatch is built.
struct PendingBatch {
  ReplayedGames games;
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
      const auto range = [&](auto& values) {
        return std::span(values).subspan(begin, end - begin);
      };
      write_rows(generator(), range(games.games), range(games.first_rows),
                 static_cast<std::int32_t>(begin), games.columns,
                 games.legal.empty() ? nullptr : &games.legal[part], range(games.found));
    } catch (...) {
      const std::lock_guard lock(mutex);
      if (!fault) fault = std::current_exception();
    }
    const std::lock_guard lock(mutex);
    if (--remaining == 0) done.notify_all();
  }
};

// The state of a read_games() iteration.
class GameReader {
 public:
  static constexpr const char* NAME = "GameReader";
  static constexpr const char* QUALIFIED_NAME = "vorel_tools.GameReader";
  static constexpr const char* DOC = "Batches of whole games as arrays: what read_games() returns.";
  static constexpr const char* CLOSE_DOC =
      "close($self)\n--\n\nEnds the reading, closing the file if read_games() opened it.";

  struct Settings {
    std::size_t batch_positions;
    std::size_t threads;
    bool legal;
    OwnedRef where;  // or null
  };

  GameReader(GameSource source, Settings settings)
      : source_(std::move(source)), settings_(std::move(settings)) {
    // The calling thread is one of the threads: it replays parts of the batch it waits for.
    if (settings_.threads > 1) pool_ = std::make_unique<WorkerPool>(settings_.threads - 1);
  }

  // Returns the next batch, or a null reference at the end. An error met while cutting a batch
  // is raised once the batches before it are out, and ends the reading, as does one met while
  // building a batch.
  OwnedRef next() {
    fill();
    if (pending_.empty()) {
      OwnedRef deferred = std::move(deferred_);
      close();
      if (deferred) {
        PyErr_SetRaisedException(deferred.release());
        throw PythonError{};
      }
      return OwnedRef();
    }
    std::unique_ptr<PendingBatch> batch = std::move(pending_.front());
    pending_.pop_front();
    if (pool_) fill();  // the threads go on with the next batch meanwhile
    try {
      return finish(*batch);
    } catch (...) {
      // A batch that cannot be built (its arrays, its replay out of memory) ends the reading too,
      // so that no games go missing from what comes after it.
      const std::exception_ptr fault = std::current_exception();
      guarded([&]() -> PyObject* { std::rethrow_exception(fault); });
      OwnedRef error(PyErr_GetRaisedException());
      try {
        close();
      } catch (const PythonError&) {
        PyErr_WriteUnraisable(nullptr);  // closing the file it opened failed too
      }
      PyErr_SetRaisedException(error.release());
      throw PythonError{};
    }
  }

  // Ends the reading: the pending batches are dropped (their parts not yet taken unreplayed, the
  // parts a thread is replaying finished first) and the file closed if the reader opened it.
  void close() {
    if (closed_) return;
    closed_ = true;
    pool_.reset();
    pending_.clear();
    deferred_ = OwnedRef();
    source_.close();
  }

  bool closed() const { return closed_; }

  std::optional<long long> bytes_read() const { return source_.bytes_read(); }

  int traverse(visitproc visit, void* arg) const {
    Py_VISIT(settings_.where.get());
    Py_VISIT(deferred_.get());
    return source_.traverse(visit, arg);
  }

  void clear() {
    OwnedRef where = std::move(settings_.where);
    OwnedRef deferred = std::move(deferred_);
    source_.clear();
  }

 private:
  // Cuts the next batch from the source: whole games, until their move tokens or the games
  // themselves reach batch_positions (games without moves, such as unreadable ones, would make
  // a batch of a whole file, or of a source that never ends), or the source ends. The games
  // `where` refuses are left out. An error of the source or of `where` ends the cutting: it is
  // kept, to be raised once the games before it are out.
  std::unique_ptr<PendingBatch> cut_batch() {
    auto batch = std::make_unique<PendingBatch>();
    ReplayedGames& games = batch->games;
    games.first_game = games_read_;
    try {
      while (games.capacity < settings_.batch_positions &&
             games.games.size() < settings_.batch_positions) {
        std::optional<GameText> game = source_.next();
        if (!game) break;
        if (settings_.where && !wanted(*game)) continue;
        games.first_rows.push_back(games.capacity);
        games.capacity += game->moves;
        games.games.push_back(std::move(*game));
      }
    } catch (...) {
      defer_error();
    }
    games_read_ += games.games.size();
    return batch;
  }

  // Keeps the exception being handled, to be raised once the batches before it are out: a Python
  // error as it is set, any other fault (std::bad_alloc) as the exception guarded() makes of it.
  // The first error is kept.
  void defer_error() noexcept {
    const std::exception_ptr fault = std::current_exception();
    guarded([&]() -> PyObject* { std::rethrow_exception(fault); });
    OwnedRef error(PyErr_GetRaisedException());
    if (!deferred_) deferred_ = std::move(error);
  }

  // Returns whether `where` keeps a game: the truth of what it returns for the game's tags.
  bool wanted(const GameText& game) const {
    const OwnedRef tags = tags_dict(game.tags);
    const OwnedRef verdict(PyObject_CallOneArg(settings_.where.get(), tags.get()));
    if (!verdict) throw PythonError{};
    const int keep = PyObject_IsTrue(verdict.get());
    if (keep < 0) throw PythonError{};
    return keep != 0;
  }

  // Makes the arrays of a batch and splits its games into parts for the threads, by rows.
  void prepare(PendingBatch& batch) const {
    ReplayedGames& games = batch.games;
    make_row_arrays(games);
    // Consecutive parts of about equal rows, four per thread, so that the threads end the batch
    // about together.
    const std::size_t per_thread = settings_.threads > 1 ? 4 : 1;
    const std::size_t parts =
        std::min(settings_.threads * per_thread, std::max<std::size_t>(1, games.games.size()));
    for (std::size_t part = 1; part < parts; ++part) {
      const std::size_t rows = games.capacity * part / parts;
      const auto end = std::ranges::lower_bound(games.first_rows, rows) - games.first_rows.begin();
      batch.part_ends.push_back(std::max<std::size_t>(
          static_cast<std::size_t>(end), batch.part_ends.empty() ? 0 : batch.part_ends.back()));
    }
    batch.part_ends.push_back(games.games.size());
    if (settings_.legal) games.legal.resize(batch.part_ends.size());
    batch.remaining = batch.part_ends.size();
  }

  // Cuts and hands over batches until as many are pending as keep the threads busy. Raises
  // nothing: an error is kept for later like the source's (next() has a batch the threads may
  // still be replaying, which must not be dropped on the way out), and the games of the batch it
  // stopped are dropped.
  void fill() noexcept {
    const std::size_t depth = pool_ ? 2 : 1;
    while (pending_.size() < depth && !deferred_ && !closed_) {
      std::unique_ptr<PendingBatch> batch;
      bool placed = false;
      try {
        batch = cut_batch();
        if (batch->games.games.empty()) return;
        prepare(*batch);
        // Its place is made first: no part is handed over for a batch that would not be kept.
        pending_.emplace_back();
        placed = true;
        if (pool_) {
          pool_->submit(batch.get(), batch->part_ends.size(),
                        [&pending = *batch](std::size_t part) { pending.replay(part); });
        }
      } catch (...) {
        if (placed) pending_.pop_back();
        defer_error();
        return;
      }
      pending_.back() = std::move(batch);
    }
  }

  // Waits for the batch's parts (replaying them here when there is no pool), then builds its
  // GameBatch.
  OwnedRef finish(PendingBatch& batch) const {
    if (!pool_) {
      std::optional<ReleasedLock> released;
      if (batch.games.capacity >= RELEASE_ROWS) released.emplace();
      batch.replay(0);
    } else {
      const ReleasedLock released;
      pool_->help(&batch);
      std::unique_lock lock(batch.mutex);
      batch.done.wait(lock, [&] { return batch.remaining == 0; });
    }
    if (batch.fault) std::rethrow_exception(batch.fault);
    return game_batch(batch.games, settings_.legal);
  }

  GameSource source_;
  Settings settings_;
  std::uint64_t games_read_ = 0;
  bool closed_ = false;
  OwnedRef deferred_;  // an error met while cutting a batch
  std::deque<std::unique_ptr<PendingBatch>> pending_;
  // Last: destroyed first, so that no worker still writes into a pending batch.
  std::unique_ptr<WorkerPool> pool_;
};

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
    const std::size_t thread_count = threads_argument(threads);
    const int legal = legal_moves == nullptr ? 0 : PyObject_IsTrue(legal_moves);
    if (legal < 0) throw PythonError{};
    if (where != nullptr && where != Py_None && !PyCallable_Check(where)) {
      raise_format(PyExc_TypeError, "argument 'where': expected a callable or None, got '%s'",
                   Py_TYPE(where)->tp_name);
    }
    generator();  // built before any thread needs it
    return wrap(
        reader_type<GameReader>(),
        GameReader(GameSource(source, true),
                   {positions, thread_count, legal != 0,
                    OwnedRef(where != nullptr && where != Py_None ? Py_NewRef(where) : nullptr)}));
  });
}

}  // namespace

std::span<const PyMethodDef> game_methods() {
  // Built on first use: the module table is made during static initialisation, in another file.
  static const PyMethodDef methods[] = {
      {"read_games", as_cfunction(read_games_function), FASTCALL,
       "read_games(source, *, batch_positions=65536, threads=1, legal_moves=False, "
       "where=None)\n--\n\n"
       "Returns an iterator over batches of whole games as arrays (GameBatch objects)."},
  };
  return methods;
}

void add_game_types(PyObject* module) {
  if (PyModule_AddObjectRef(module, "GameBatch", reinterpret_cast<PyObject*>(game_batch_type())) <
          0 ||
      PyModule_AddObjectRef(module, "GameReader",
                            reinterpret_cast<PyObject*>(reader_type<GameReader>())) < 0)
    throw PythonError{};
}

}  // namespace vorel::python
