#pragma once

// Where one game of a PGN file ends and the next begins, and a splitter that cuts a stream of
// bytes into the texts of whole games, each with its tags.
//
// A game begins with its first tag or move text (comments before it belong to no game's moves)
// and ends with a result outside variations, with a tag after its move text (outside a
// variation, or at the start of a line anywhere: an unclosed variation or comment ends there), or
// with the end of the input.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "notation/pgn_lexer.hpp"

namespace vorel {

// How a game's text ended.
enum class GameEnd : std::uint8_t {
  RESULT,  // with its result token
  TAG,     // before a tag that belongs to the next game
  TEXT,    // with the end of the text
};

struct GameScan {
  GameEnd end;
  std::size_t length;    // the bytes of the game's text: where the next game's text starts
  bool line_start;       // the next game's text starts at the start of a line
  unsigned depth;        // variations still open at the end
  bool open;             // the text held a tag or move text (a game at all)
  std::size_t opens_at;  // where the first tag or move text starts
};

// Reads one game from the lexer's text and tells `handler` what belongs to it, in order:
// handler.tag(TagText) for each tag, handler.move(PgnToken, text) for each MOVE or NULL_MOVE of
// the main line, handler.comment(text) for each comment outside variations,
// handler.unclosed_comment() for a comment without its "}", and handler.result(text) for the
// result that ends it. Move numbers, NAGs and everything inside variations are read past.
template <class Handler>
GameScan scan_game(PgnLexer& lexer, Handler& handler) {
  unsigned depth = 0;
  bool open = false;
  bool movetext = false;
  std::size_t opens_at = 0;
  const auto opening = [&] {
    if (!open) opens_at = lexer.start();
    open = true;
  };
  while (true) {
    const PgnToken kind = lexer.next();
    switch (kind) {
      case PgnToken::END: return {GameEnd::TEXT, lexer.position(), false, depth, open, opens_at};
      case PgnToken::BRACKET:
        if (movetext && (depth == 0 || (lexer.line_start() && lexer.tag_follows())))
          return {GameEnd::TAG, lexer.start(), lexer.line_start(), depth, open, opens_at};
        if (depth > 0) break;  // a "[" inside a variation, not starting a line, is read past
        opening();
        handler.tag(lexer.read_tag());
        break;
      case PgnToken::COMMENT:
        if (depth == 0) handler.comment(lexer.text());
        // A comment left open before anything of a game just ends; in a game, it is the game's
        // fault, and a tag line that ends it starts the next game.
        if (!lexer.closed() && open) {
          handler.unclosed_comment();
          if (!lexer.at_end()) return {GameEnd::TAG, lexer.position(), true, depth, open, opens_at};
        }
        break;
      case PgnToken::OPEN:
        opening();
        movetext = true;
        ++depth;
        break;
      case PgnToken::CLOSE:
        if (depth > 0) --depth;
        break;
      case PgnToken::NAG: break;
      case PgnToken::RESULT:
        if (depth > 0) break;
        opening();
        handler.result(lexer.text());
        return {GameEnd::RESULT, lexer.position(), false, depth, true, opens_at};
      case PgnToken::MOVE_NUMBER:
        if (depth > 0) break;
        opening();
        movetext = true;
        break;
      case PgnToken::MOVE:
      case PgnToken::NULL_MOVE:
        if (depth > 0) break;
        opening();
        movetext = true;
        handler.move(kind, lexer.text());
        break;
    }
  }
}

// A tag's name and value, read from the text between its brackets: the name, then the value in
// double quotes (with \" and \\ escapes); white space around both. Nothing when it is not that.
struct TagParts {
  std::string_view name;
  std::string_view quoted;  // the value between its quotes, escapes still in it
};
std::optional<TagParts> tag_parts(std::string_view text);

// What of a game's text its replay needs, in order.
enum class GameEvent : std::uint8_t {
  MOVE,              // a move of the main line (or what stands where one should)
  NULL_MOVE,         // "--" and the like in the main line
  COMMENT,           // a comment outside variations
  UNCLOSED_COMMENT,  // a comment without its "}"
  BAD_TAG,           // a tag closed by "]" that is not [Name "value"]
  UNCLOSED_TAG,      // a tag without its "]" on its line
  RESULT,            // the result that ends the game
};

struct GameToken {
  GameEvent kind;
  std::string_view text;  // the move, comment, result, or the text between the tag's brackets
};

// Bytes read from a source, shared by the games cut from them.
struct TextBlock {
  std::unique_ptr<char[]> bytes;
  std::size_t capacity = 0;
};

// One game as the splitter cuts it.
struct GameText {
  std::string_view text;  // the game's bytes
  // Keeps the bytes of `text` (and of the tags' and tokens' texts) alive.
  std::shared_ptr<const TextBlock> storage;
  std::uint64_t line = 1;  // the line of its first tag or move text, from 1
  // The readable tags, in file order: name and value, the value with its escapes undone.
  std::vector<std::pair<std::string_view, std::string_view>> tags;
  // The values with escapes, undone (the others are views of the game's bytes).
  std::vector<std::unique_ptr<char[]>> unescaped_values;
  std::vector<GameToken> tokens;
  std::uint32_t moves = 0;       // its MOVE tokens: no more positions than that
  unsigned open_variations = 0;  // variations left open at its end
  GameEnd end = GameEnd::TEXT;   // what ended it
  // Why the game cannot be read before its moves are looked at (its text is none, or more than
  // one game), and the token to name; empty otherwise.
  std::string failure;
  std::string failure_token;
};

// Copies of texts, packed into shared blocks: where games read from a list of texts keep theirs.
class TextStore {
 public:
  // Returns a copy of `text`, which lives as long as block() does.
  std::string_view copy(std::string_view text);
  // The block that the last copy is in.
  const std::shared_ptr<TextBlock>& block() const { return block_; }

 private:
  std::shared_ptr<TextBlock> block_;
  std::size_t used_ = 0;
};

// Returns the game of a whole text that holds one game and nothing after it (a game of one text
// of many, such as a column of game texts), or, when the text holds none, an empty game. The
// text must outlive the game. `rest` is set to what follows a first game that does not end
// the text (then the text holds more than one game).
GameText whole_game(std::string_view text, std::string_view* rest);

// Cuts a stream of bytes into the texts of whole games. Bytes are read straight into its
// storage (space(), then commit()); a game's bytes stay where they are read, in blocks that live
// as long as a GameText refers to them.
class GameSplitter {
 public:
  static constexpr std::size_t BLOCK_SIZE = std::size_t{1} << 20;
  static constexpr std::size_t MIN_READ = std::size_t{1} << 16;

  // Returns room for at least MIN_READ more bytes of input, at the end of the current block or
  // in a new one that the unfinished game's bytes move to, with room for as many again, so that
  // a long game is copied a bounded number of times over.
  std::span<char> space();
  // Takes `size` bytes written at the start of space().
  void commit(std::size_t size);
  // Ends the input: what is left is the last game.
  void finish() { final_ = true; }
  bool finished() const { return final_; }

  // Returns the next whole game, or nothing when more input is needed (before finish()) or no
  // game is left (after it). An unfinished game of MIN_READ bytes or more is scanned again only
  // once its bytes have doubled, so that reading a game in many pieces costs time in proportion
  // to its length.
  std::optional<GameText> next();

 private:
  std::shared_ptr<TextBlock> block_;
  std::size_t start_ = 0;       // where the next game's text starts in the block
  std::size_t size_ = 0;        // the bytes of the block read so far
  std::size_t tokens_end_ = 0;  // the end of the last whole token read
  std::size_t pending_ = 0;     // bytes of an unfinished game scanned last time
  std::uint64_t line_ = 1;      // the line at start_
  bool line_start_ = true;
  bool final_ = false;
};

}  // namespace vorel
