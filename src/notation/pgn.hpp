#pragma once

// A streaming reader of PGN game files: bytes go in, in chunks of any size, and complete games
// come out one at a time, each with its tags, its starting position, its main line as legal
// moves and its result. Comments, variations, NAGs, move numbers and escape lines are read past.
// Memory is that of one game, whatever the size of the input.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "board/board.hpp"
#include "chess_move/chess_move.hpp"
#include "move_generator/move_generator.hpp"

namespace vorel {

// Returns the board a game starts from when its FEN tag holds `fen`, or the reason it cannot:
// the FEN text does not read, or status() finds a king missing or one too many, a pawn on the
// first or last rank, the side not to move in check, or a square holding two pieces. Castling
// rights without their king and rook on the home squares, and an en-passant file without the
// pawn that has just advanced two squares, are dropped, so that every move generated on the board
// is one of the game's legal moves.
std::expected<Board, std::string> game_start(const MoveGenerator& generator, std::string_view fen);

// Returns true when `bytes` are well-formed UTF-8 (no overlong forms, surrogates or code points
// beyond U+10FFFF). The reader hands over tags as bytes; readers of the text decide with this
// whether they are UTF-8 or, as PGN files used to be written, Latin-1.
bool is_utf8(std::string_view bytes);

// One game as the reader hands it over. Tag names and values are the file's bytes, with the
// string escapes undone. A game that cannot be read has an `error`; its `moves` are those read
// before the `token` that stopped it, and the rest of it is read past.
struct PgnGame {
  std::vector<std::pair<std::string, std::string>> tags;  // in file order
  std::string fen;               // the starting position, four fields as Board::to_fen writes
  std::vector<ChessMove> moves;  // the main line, each legal where it is played
  std::string result;            // "1-0", "0-1", "1/2-1/2" or "*"
  std::uint64_t line = 0;        // where the game's first tag or move text is, from 1
  std::string error;             // empty for a game that was read
  std::string token;             // the token (or tag) that stopped an unreadable game
};

// Line ends are CR, LF or CR LF alike. A "[" at the start of a line (after white space or a
// byte-order mark) followed by a letter, a digit or "_" is a tag wherever it stands: inside a
// comment or a variation that was never closed, it ends the game in progress, which is marked
// with an error ("Unclosed comment ..." with the token "{", "Unclosed variation ..." with "(")
// and keeps its moves; the end of the input inside one is marked the same way.
class PgnReader {
 public:
  // The longest token kept, cut at a character boundary; the rest of a longer one is dropped
  // (it is no move anyway). Tags have no limit but the line they are on.
  static constexpr std::size_t MAX_TOKEN = 64;

  explicit PgnReader(const MoveGenerator& generator);

  // Reads `input` until it ends or a game is complete, and returns the number of bytes read:
  // hand the rest over again once the game is taken. The input continues where the last call
  // stopped; a chunk may end anywhere, inside a token or a multi-byte character too.
  std::size_t feed(std::string_view input);

  // Ends the input, completing the game in progress if there is one; returns ready().
  bool finish();

  // True when a complete game waits to be taken.
  bool ready() const { return ready_; }

  // The complete game (while ready()); next() starts the following one.
  PgnGame& game() { return game_; }
  void next();

 private:
  enum class State : std::uint8_t {
    TEXT,
    TOKEN,
    TAG,
    BRACE_COMMENT,
    LINE_COMMENT,
    NAG,
    BOM,      // inside a byte-order mark; resume_ is the state it stands in
    BRACKET,  // after a "[" at the start of a line in resume_ (a comment or a variation)
  };

  // Handles one byte of move text outside tokens; false when the game ends before it.
  bool text_byte(char c);
  // Counts a line end (CR or LF; the LF of a CR LF is skipped before it gets here).
  void end_line(char c);
  void end_token();
  void play(std::string_view token);
  void start_tag();
  void end_tag();
  // Reads the byte after a "[" at the start of a line in a comment or a variation; false when it
  // ends the game in progress (the byte is read again for the next game).
  bool bracket_byte(char c);
  // Marks the game as left inside a comment or a variation that was never closed, `before`
  // saying what came first ("the next game's tags", "the end of the input").
  void fail_unclosed(bool comment, std::string_view before);
  // Sets up the board from the tags once, before the first move or at the end of the game.
  void start_moves();
  void fail(std::string_view error, std::string_view token);
  void complete();
  // Marks the game as begun on the current line.
  void open();

  const MoveGenerator& generator_;
  Board board_;  // the position of the game being read
  Board start_;  // the standard starting position
  PgnGame game_;
  State state_ = State::TEXT;
  State resume_ = State::TEXT;  // BOM, BRACKET: the state they interrupt
  std::string token_;
  std::string tag_;
  std::uint64_t line_ = 1;
  std::size_t bom_ = 0;       // BOM: bytes of the byte-order mark matched
  unsigned depth_ = 0;        // variations open
  bool line_start_ = true;    // nothing but white space since the last line end
  bool after_cr_ = false;     // the last byte read was a CR: a LF now ends no other line
  bool open_ = false;         // the game has a tag, move text or a variation
  bool movetext_ = false;     // the game has move text or a variation: a "[" starts the next game
  bool started_ = false;      // the board is set up from the tags
  bool skipping_ = false;     // the game failed: its rest is read past
  bool in_string_ = false;    // TAG: inside the quoted value
  bool escaped_ = false;      // TAG: the last byte was a backslash in the value
  bool result_seen_ = false;  // the game text ended with a result
  bool tag_pending_ = false;  // the next game starts inside a tag whose "[" is read
  bool ready_ = false;
};

}  // namespace vorel
