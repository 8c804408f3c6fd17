// Fuzz target: arbitrary bytes as a PGN file, fed in chunks whose size the first byte sets, and
// each whitespace-separated word as SAN on two positions. Any game may be unreadable; every move
// a game hands over must be legal where it is played, and every move read from SAN must write
// back to a SAN that reads to it again.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_support.hpp"
#include "notation/game_replay.hpp"
#include "test_support.hpp"
#include "notation/san.hpp"

using namespace vorel;

namespace {

// Checks every move a game hands over against the legal moves where it is played, and plays it.
struct LegalMoves : ReplaySink {
  Position position{};
  bool started = false;
  void move(const Position& before, const MoveCounters&, ChessMove move) override {
    fuzz::require(!started || (before.pieces == position.pieces && before.info == position.info),
                  "a move is handed over from another position than the last one reached");
    started = true;
    position = before;
    MoveList legal;
    fuzz::generator().moves(position, legal);
    fuzz::require(find_legal(legal, move).has_value(), "a game hands over an illegal move");
    position.play(move);
  }
  void comment(std::string_view) override {}
};

void check_game(const GameText& game) {
  LegalMoves sink;
  const Replay replay = replay_game(fuzz::generator(), game, sink);
  fuzz::require(replay.error.empty() == replay.token.empty(), "an error without its token");
  if (replay.moves > 0) {
    const auto start = game_start(fuzz::generator(), replay.fen);
    fuzz::require(start.has_value(), "moves from a refused position");
  }
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
  const std::size_t step = data[0] % 16 + 1;
  const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
  testing::split_games(text, step, check_game);
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
