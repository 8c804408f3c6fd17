#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "board/board.hpp"
#include "notation/pgn_game.hpp"

namespace vorel::testing {

inline Board board_from(std::string_view fen) {
  auto board = Board::from_fen(fen);
  if (!board) throw std::runtime_error("test FEN rejected: " + board.error());
  return std::move(*board);
}

// Returns the square named like "e4".
constexpr unsigned sq(std::string_view name) {
  return static_cast<unsigned>(name[1] - '1') * 8 + static_cast<unsigned>(name[0] - 'a');
}

// Returns the bitboard of the named squares.
constexpr Bitboard squares(std::initializer_list<std::string_view> names) {
  Bitboard b = 0;
  for (const std::string_view name : names) b |= square_bb(sq(name));
  return b;
}

// Runs `action` and returns the message of the Fault it throws ("" when it throws none).
inline std::string fault_message(const std::function<void()>& action) {
  try {
    action();
  } catch (const Fault& fault) {
    return fault.what();
  }
  return "";
}

// Everything making and unmaking a move may touch.
struct Snapshot {
  Pieces pieces;
  std::uint64_t info;
  std::uint64_t z_key;
  std::uint16_t z_sum;
  std::array<std::vector<Bitboard>, PIECE_NB> stacks;
  std::vector<std::pair<std::uint64_t, std::uint16_t>> history;

  explicit Snapshot(const Board& board)
      : pieces(board.pieces),
        info(board.info),
        z_key(board.zobrist.z_key),
        z_sum(board.zobrist.z_sum) {
    // A board whose history was never allocated has empty stacks, like one that took every move
    // back.
    if (!board.history) return;
    stacks = board.history->pieces_stacks;
    for (const MoveRecord& record : board.history->move_stack)
      history.emplace_back(record.info, record.moved);
  }
  bool operator==(const Snapshot&) const = default;
};

// Cuts `text` into games, fed to the splitter in chunks of step() bytes, and calls take(game) for
// each, with the game as an rvalue that may be kept.
template <class Step, class Take>
void split_games(std::string_view text, Step&& step, Take&& take) {
  GameSplitter splitter;
  std::size_t at = 0;
  while (true) {
    while (std::optional<GameText> game = splitter.next()) take(std::move(*game));
    if (splitter.finished()) return;
    if (at == text.size()) {
      splitter.finish();
      continue;
    }
    const std::span<char> space = splitter.space();
    const std::size_t size = std::min({std::size_t{step()}, space.size(), text.size() - at});
    std::copy_n(text.data() + at, size, space.data());
    splitter.commit(size);
    at += size;
  }
}

}  // namespace vorel::testing
