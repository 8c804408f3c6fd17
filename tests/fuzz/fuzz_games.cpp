// Fuzz target: arbitrary bytes as a game file, cut into games by the splitter fed whole and in
// chunks of random sizes (the first byte seeds them), each game's main line replayed into columns
// with room for its move tokens, with and without the legal move lists, and the gaps closed. Any
// game may be unreadable. The rows written must be the rows counted, none for a game that failed;
// every row's move must be legal in the position its columns hold, and its legal list that
// position's moves in generation order; neither the chunks nor the legal lists may change a row.

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <numeric>
#include <string_view>
#include <vector>

#include "fuzz_support.hpp"
#include "notation/game_arrays.hpp"
#include "notation/san.hpp"
#include "test_support.hpp"

using namespace vorel;

namespace {

// The columns of a batch, as vectors, and what replaying its games into them found.
struct Batch {
  std::vector<std::uint64_t> bitboards;
  std::vector<std::uint8_t> white_to_move, castling;
  std::vector<std::int8_t> en_passant;
  std::vector<std::uint16_t> halfmove_clock, fullmove, move;
  std::vector<std::uint32_t> clock, eval;  // the floats' bits: NaN equals NaN
  std::vector<std::int16_t> mate;
  std::vector<std::int32_t> game;
  std::vector<GameRows> found;
  LegalMoveLists legal;

  explicit Batch(std::size_t rows)
      : bitboards(rows * PIECE_NB),
        white_to_move(rows),
        castling(rows),
        en_passant(rows),
        halfmove_clock(rows),
        fullmove(rows),
        move(rows),
        clock(rows),
        eval(rows),
        mate(rows),
        game(rows) {}

  PositionColumns columns() {
    return {bitboards.data(),
            white_to_move.data(),
            castling.data(),
            en_passant.data(),
            halfmove_clock.data(),
            fullmove.data(),
            move.data(),
            reinterpret_cast<float*>(clock.data()),
            reinterpret_cast<float*>(eval.data()),
            mate.data(),
            game.data()};
  }

  void resize(std::size_t rows) {
    bitboards.resize(rows * PIECE_NB);
    for (auto* column : {&white_to_move, &castling}) column->resize(rows);
    for (auto* column : {&halfmove_clock, &fullmove, &move}) column->resize(rows);
    for (auto* column : {&clock, &eval}) column->resize(rows);
    en_passant.resize(rows);
    mate.resize(rows);
    game.resize(rows);
  }

  bool same_rows(const Batch& other) const {
    const auto same = [](const GameRows& a, const GameRows& b) {
      return a.rows == b.rows && a.result == b.result && a.error == b.error && a.token == b.token;
    };
    return bitboards == other.bitboards && white_to_move == other.white_to_move &&
           castling == other.castling && en_passant == other.en_passant &&
           halfmove_clock == other.halfmove_clock && fullmove == other.fullmove &&
           move == other.move && clock == other.clock && eval == other.eval && mate == other.mate &&
           game == other.game &&
           std::equal(found.begin(), found.end(), other.found.begin(), other.found.end(), same);
  }
};

// Returns the position that row `row` of the columns holds.
Position row_position(const Batch& batch, std::size_t row) {
  Position position{};
  std::memcpy(position.pieces.data(), batch.bitboards.data() + row * PIECE_NB, sizeof(Pieces));
  const Color us = batch.white_to_move[row] ? WHITE : BLACK;
  position.info = (us == WHITE ? WHITE_TO_MOVE : 0) | std::uint64_t{batch.castling[row]} << 1;
  if (batch.en_passant[row] >= 0)
    position.info |= std::uint64_t{1} << (en_passant_group(us) + unsigned(batch.en_passant[row]));
  return position;
}

// Replays the games into one batch and checks its rows.
Batch replay(std::span<const GameText> games, bool with_legal) {
  std::vector<std::size_t> first_rows;
  std::size_t capacity = 0;
  for (const GameText& game : games) {
    first_rows.push_back(capacity);
    capacity += game.moves;
  }
  Batch batch(capacity);
  batch.found.resize(games.size());
  const PositionColumns columns = batch.columns();
  write_rows(fuzz::generator(), games, first_rows, 0, columns, with_legal ? &batch.legal : nullptr,
             batch.found);
  std::size_t counted = 0;
  for (std::size_t i = 0; i < games.size(); ++i) {
    const GameRows& found = batch.found[i];
    fuzz::require(found.rows <= games[i].moves, "a game writes more rows than it has moves");
    fuzz::require(found.error.empty() == found.token.empty(), "an error without its token");
    fuzz::require(found.error.empty() || found.rows == 0, "a game that failed keeps rows");
    counted += found.rows;
  }
  const std::size_t rows = close_gaps(columns, first_rows, batch.found);
  fuzz::require(rows == counted, "the rows written are not the rows counted");
  batch.resize(rows);
  if (with_legal) {
    fuzz::require(batch.legal.counts.size() == rows, "legal lists for rows that are not there");
    fuzz::require(std::accumulate(batch.legal.counts.begin(), batch.legal.counts.end(),
                                  std::int64_t{0}) == std::int64_t(batch.legal.moves.size()),
                  "the legal lists do not add up");
  }
  std::size_t row = 0, legal_at = 0;
  for (std::size_t i = 0; i < games.size(); ++i) {
    for (std::uint32_t k = 0; k < batch.found[i].rows; ++k, ++row) {
      fuzz::require(batch.game[row] == std::int32_t(i), "a row carries another game's index");
      Position position = row_position(batch, row);
      MoveList legal;
      fuzz::generator().moves(position, legal);
      ChessMove move;
      move.data = batch.move[row];
      fuzz::require(find_legal(legal, move).has_value(),
                    "a row's move is not legal in its position");
      if (with_legal) {
        const auto count = static_cast<std::size_t>(batch.legal.counts[row]);
        fuzz::require(count == legal.size() &&
                          std::equal(legal.begin(), legal.end(),
                                     batch.legal.moves.begin() + std::ptrdiff_t(legal_at),
                                     [](ChessMove a, std::uint16_t b) { return a.data == b; }),
                      "a row's legal list is not its position's moves");
        legal_at += count;
      }
      fuzz::require(batch.mate[row] == 0 || std::isnan(std::bit_cast<float>(batch.eval[row])),
                    "a row has both a mate and an evaluation in pawns");
    }
  }
  return batch;
}

// Returns the games of `text` fed in chunks whose sizes come from a generator seeded with
// `seed` (the whole text at once for seed 0).
std::vector<GameText> split(std::string_view text, std::uint8_t seed) {
  std::vector<GameText> games;
  std::uint32_t state = seed;
  testing::split_games(
      text,
      [&] {
        state = state * 1103515245u + 12345u;
        return seed == 0 ? text.size() + 1 : 1 + (state >> 16) % ((state & 8) ? 64 : 4);
      },
      [&](GameText&& game) { games.push_back(std::move(game)); });
  return games;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
  const std::vector<GameText> whole = split(text, 0);
  const std::vector<GameText> chunked = split(text, static_cast<std::uint8_t>(data[0] | 1));
  const Batch plain = replay(whole, false);
  fuzz::require(replay(whole, true).same_rows(plain), "the legal lists change the rows");
  fuzz::require(replay(chunked, false).same_rows(plain),
                "the chunks a file comes in change its rows");
  return 0;
}
