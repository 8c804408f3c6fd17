// GameBatch: the arrays read_games() yields for a batch of games, built once their replay is done.

#include "lib/game_batch.hpp"

#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include "common/unicode.hpp"
#include "lib/game_source.hpp"
#include "lib/tools_methods.hpp"

namespace vorel::python {

namespace {

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
  std::vector<std::size_t> ends;    // per tag: where its name, then its value, end in `bytes`
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
      std::size_t start = 0;
      for (std::size_t game = 0; game < batch.games; ++game) {
        std::vector<std::pair<std::string_view, std::string_view>> tags;
        for (std::size_t i = 0; i < batch.tags.counts[game]; ++i, ++tag) {
          const std::size_t name_end = batch.tags.ends[2 * tag];
          const std::size_t value_end = batch.tags.ends[2 * tag + 1];
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
    {Py_tp_methods, game_batch_methods()},
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

}  // namespace

PyTypeObject* game_batch_type() {
  static PyTypeObject* type = nullptr;
  if (type == nullptr) type = create_type(&BATCH_SPEC, "GameBatch");
  return type;
}

void make_row_arrays(ReplayedGames& games) {
  for (std::size_t i = 0; i < ROW_ARRAY_NB; ++i) {
    const RowArraySpec& spec = ROW_ARRAYS[i];
    games.arrays[i] = make_array(row_shape(spec, games.capacity), spec.dtype, spec.item_size);
  }
  std::vector<const Buffer*> views;
  for (const NewArray& array : games.arrays) views.push_back(array.view.get());
  require_disjoint(std::move(views));
  const auto data = [&](RowArray array) { return games.arrays[array].data(); };
  games.columns = {static_cast<std::uint64_t*>(data(BITBOARDS)),
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
  games.found.resize(games.games.size());
}

OwnedRef game_batch(ReplayedGames& batch, bool legal) {
  OwnedRef object = wrap(game_batch_type(), GameBatchData{});
  GameBatchData& data = reinterpret_cast<GameBatchObject*>(object.get())->value;

  const std::size_t games = batch.games.size();
  const std::size_t rows = close_gaps(batch.columns, batch.first_rows, batch.found);
  for (std::size_t i = 0; i < ROW_ARRAY_NB; ++i) {
    NewArray& array = batch.arrays[i];
    array.view.reset();  // written: the view goes before the array is cut down
    data.fields[i] =
        cut_rows(std::move(array.array), rows, row_shape(ROW_ARRAYS[i], batch.capacity));
  }
  if (legal) {
    std::size_t total = 0;
    for (const LegalMoveLists& part : batch.legal) total += part.moves.size();
    NewArray moves = make_array({total}, "uint16", sizeof(std::uint16_t));
    NewArray offsets = make_array({rows + 1}, "int64", sizeof(std::int64_t));
    require_disjoint({moves.view.get(), offsets.view.get()});
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
  require_disjoint({offsets.view.get(), result.view.get(), white_elo.view.get(),
                    black_elo.view.get(), line.view.get()});
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
      data.tags.ends.push_back(data.tags.bytes.size());
      data.tags.bytes.append(value);
      data.tags.ends.push_back(data.tags.bytes.size());
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

}  // namespace vorel::python
