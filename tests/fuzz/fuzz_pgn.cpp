// Fuzz target: arbitrary bytes as a PGN file, fed whole and in chunks of sizes drawn from the
// first byte (every size from 1 byte up, a CR LF or a byte-order mark split anywhere), and each
// whitespace-separated word as SAN on two positions. Any game may be unreadable; the chunks must
// not change a game; every move a game hands over must be legal where it is played; a game has
// an error exactly when it has a token, and both are text when the file is; every move read
// from SAN must write back to a SAN that reads to it again.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.hpp"
#include "notation/pgn.hpp"
#include "notation/san.hpp"

using namespace vorel;

namespace {

void check_game(const PgnGame& game, bool utf8) {
  fuzz::require(game.error.empty() == game.token.empty(), "an error without its token");
  fuzz::require(!utf8 || (is_utf8(game.error) && is_utf8(game.token)),
                "an error or token of a text file is not text");
  const auto start = game_start(fuzz::generator(), game.fen);
  if (!start) {
    fuzz::require(!game.error.empty(), "a game without an error starts from a refused position");
    return;
  }
  Board board = *start;
  for (const ChessMove move : game.moves) {
    MoveList legal;
    fuzz::generator().moves(board, legal);
    fuzz::require(find_legal(legal, move).has_value(), "a game hands over an illegal move");
    board.push_move(move);
  }
}

// Returns a game as one text, every field in it.
std::string summary(const PgnGame& game) {
  std::string text = joined({std::to_string(game.line), "|", game.fen, "|", game.result, "|",
                             game.error, "|", game.token});
  for (const auto& [name, value] : game.tags) text += joined({"|", name, "=", value});
  for (const ChessMove move : game.moves) text += joined({"|", move.to_string()});
  return text;
}

// Returns the games of `text` fed in chunks whose sizes come from a generator seeded with
// `seed` (the whole text at once for seed 0), each checked.
std::vector<std::string> read_games(std::string_view text, std::uint8_t seed) {
  const bool utf8 = is_utf8(text);
  PgnReader reader(fuzz::generator());
  std::vector<std::string> games;
  const auto take = [&] {
    check_game(reader.game(), utf8);
    games.push_back(summary(reader.game()));
    reader.next();
  };
  std::uint32_t state = seed;
  for (std::size_t at = 0; at < text.size();) {
    state = state * 1103515245u + 12345u;
    // Mostly small chunks, now and then a large one.
    const std::size_t size = seed == 0 ? text.size() : 1 + (state >> 16) % ((state & 8) ? 64 : 4);
    std::string_view chunk = text.substr(at, size);
    at += chunk.size();
    while (!chunk.empty()) {
      chunk.remove_prefix(reader.feed(chunk));
      if (reader.ready()) take();
    }
  }
  while (reader.finish()) take();
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
