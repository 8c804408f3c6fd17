// Fuzz target: any text may be refused by the FEN reader or the move parser, none may crash,
// and a board that was read must survive every legal move made and taken back.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "move_generator/move_generator.hpp"

namespace {

const vorel::MoveGenerator& generator() {
  static const vorel::MoveGenerator instance;
  return instance;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  try {
    (void)vorel::pieces_from_fen(text);
  } catch (const vorel::Fault&) {
  }
  // The text also serves as a move: everything after the first line break.
  const std::size_t split = text.find('\n');
  const std::string_view fen = text.substr(0, split);
  const std::string_view move_text = split == std::string_view::npos ? "" : text.substr(split + 1);
  try {
    auto board = vorel::Board::from_fen(fen);
    if (!board) return 0;
    const std::string before = board->to_fen();
    if (auto move = vorel::ChessMove::from_str(move_text)) {
      board->push_move(*move);
      board->pop_move();
    }
    vorel::MoveList moves;
    generator().moves(*board, moves);
    for (const vorel::ChessMove move : moves) {
      board->push_move(move);
      board->pop_move();
    }
    if (board->to_fen() != before) __builtin_trap();
  } catch (const vorel::Fault&) {
  }
  return 0;
}
