#pragma once

// A game's main line replayed from its text: the position it starts from, each move checked and
// played, the comments after each move, its result, or why it cannot be read.

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

#include "board/board.hpp"
#include "move_generator/move_generator.hpp"
#include "notation/pgn_game.hpp"

namespace vorel {

// The longest token or tag text an error keeps: a longer one is cut at a character boundary.
inline constexpr std::size_t MAX_TOKEN = 64;

// Returns the position a game starts from when its FEN tag holds `fen`, or the reason it cannot:
// the FEN text does not read, or status() finds a king missing or one too many, a pawn on the
// first or last rank, the side not to move in check, or a square holding two pieces. Castling
// rights without their king and rook on the home squares, and an en-passant file without the
// pawn that has just advanced two squares, are dropped, so that every move generated on the
// position is one of the game's legal moves.
std::expected<Position, std::string> game_start(const MoveGenerator& generator,
                                                std::string_view fen);

// The move counters of a position: the half-moves since the last capture or pawn move, and the
// number of the move, which grows after each move of Black. Both stop at the largest value.
struct MoveCounters {
  std::uint32_t halfmove_clock = 0;
  std::uint32_t fullmove = 1;
};

// Takes what a replay finds, in order.
class ReplaySink {
 public:
  virtual ~ReplaySink() = default;
  // A main-line move, legal in `before`, the position it is played from.
  virtual void move(const Position& before, const MoveCounters& counters, ChessMove move) = 0;
  // A comment after the last move, as readers show it: without the one space that follows "{"
  // and the one that precedes "}". Comments before the first move are not passed on.
  virtual void comment(std::string_view text) = 0;
};

// Game results, as the result token or the Result tag writes them.
enum class GameResult : std::int8_t { WHITE_WINS, DRAW, BLACK_WINS, UNKNOWN };
std::string_view result_text(GameResult result);

struct Replay {
  std::string fen;  // the start as Board::to_fen writes it; an unusable FEN tag's text
  GameResult result = GameResult::UNKNOWN;  // the result token, else the Result tag, else "*"
  std::size_t moves = 0;                    // the moves passed to the sink
  std::string error;                        // empty for a game that was read
  std::string token;                        // the token, tag or tag value that stopped it
};

// Replays the main line of a game; a game that cannot be read stops at the first token that
// fails, and the sink keeps what it was given before.
Replay replay_game(const MoveGenerator& generator, const GameText& game, ReplaySink& sink);

}  // namespace vorel
