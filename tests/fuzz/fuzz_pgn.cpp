// Fuzz target: arbitrary bytes as a PGN file, read whole and in chunks of random sizes (the
// first byte seeds them), and each whitespace-separated word as SAN on two positions. Any game
// may be unreadable; the chunks must not change the games; every move a game hands over must be
// legal where it is played; every error has its token, and both are text when the file is; every
// move read from SAN must write back to a SAN that reads to it again.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/text.hpp"
#include "common/unicode.hpp"
#include "fuzz_support.hpp"
#include "notation/game_replay.hpp"
#include "notation/san.hpp"
#include "test_support.hpp"

using namespace vorel;

namespace {

// Checks every move a game hands over against the legal moves where it is played, and plays it.
struct LegalMoves : ReplaySink {
  Position position{};
  bool started = false;
  std::string moves;
  void move(const Position& before, const MoveCounters&, ChessMove move) override {
    fuzz::require(!started || (before.pieces == position.pieces && before.info == position.info),
                  "a move is handed over from another position than the last one reached");
    started = true;
    position = before;
    MoveList legal;
    fuzz::generator().moves(position, legal);
    fuzz::require(find_legal(legal, move).has_value(), "a game hands over an illegal move");
    position.play(move);
    moves += joined({"|", move.to_string()});
  }
  void comment(std::string_view text) override { moves += joined({"{", text, "}"}); }
};

// Returns a game as one text, every field in it, once checked.
std::string checked_summary(const GameText& game, bool utf8) {
  LegalMoves sink;
  const Replay replay = replay_game(fuzz::generator(), game, sink);
  fuzz::require(replay.error.empty() == replay.token.empty(), "an error without its token");
  fuzz::require(!utf8 || (is_utf8(replay.error) && is_utf8(replay.token)),
                "an error or token of a text file is not text");
  if (replay.moves > 0) {
    fuzz::require(game_start(fuzz::generator(), replay.fen).has_value(),
                  "moves from a refused position");
  }
  std::string text = joined({std::to_string(game.line), "|", replay.fen, "|",
                             result_text(replay.result), "|", replay.error, "|", replay.token});
  for (const auto& [name, value] : game.tags) text += joined({"|", name, "=", value});
  return text + sink.moves;
}

// Returns the games of `text` fed in chunks whose sizes come from a generator seeded with
// `seed` (the whole text at once for seed 0), each checked.
std::vector<std::string> read_games(std::string_view text, std::uint8_t seed) {
  const bool utf8 = is_utf8(text);
  std::vector<std::string> games;
  std::uint32_t state = seed;
  testing::split_games(
      text,
      [&] {
        state = state * 1103515245u + 12345u;
        // Mostly small chunks, now and then a large one.
        return seed == 0 ? text.size() + 1 : 1 + (state >> 16) % ((state & 8) ? 64 : 4);
      },
      [&](const GameText& game) { games.push_back(checked_summary(game, utf8)); });
  return games;
}

void check_san(Board& board, std::string_view word) {
  const auto move = parse_san(fuzz::generator(), board, word);
  if (!move) return;
  MoveList legal;
  fuzz::generator().moves(board, legal);
  fuzz::require(find_legal(legal, *move).has_value(), "SAN read to an illegal move");
  char text[MAX_SAN];
  const std::string san(text, write_san(fuzz::generator(), board, legal, *move, text));
  const auto again = parse_san(fuzz::generator(), board, san);
  fuzz::require(again.has_value() && again->data == move->data, "written SAN reads back otherwise");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
  const std::vector<std::string> whole = read_games(text, 0);
  fuzz::require(read_games(text, static_cast<std::uint8_t>(data[0] | 1)) == whole,
                "the chunks a file comes in change its games");
  Board start = *Board::from_fen(DEFAULT_FEN);
  Board kiwipete =
      *Board::from_fen("r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq -");
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t end = std::min(text.find_first_of(" \n", at), text.size());
    const std::string_view word = text.substr(at, end - at);
    if (!word.empty() && word.size() <= 16) {
      check_san(start, word);
      check_san(kiwipete, word);
    }
    at = end + 1;
  }
  return 0;
}
