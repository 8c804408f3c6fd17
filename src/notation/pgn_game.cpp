#include "notation/pgn_game.hpp"

#include <algorithm>
#include <cstring>

namespace vorel {

namespace {

std::string_view trim_blanks(std::string_view text) {
  while (!text.empty() && is_blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && is_blank(text.back())) text.remove_suffix(1);
  return text;
}

// What the splitter keeps of a game: its tags, and the tokens its replay needs.
struct SplitHandler {
  GameText& game;

  void tag(const TagText& tag) {
    if (!tag.closed) {
      game.tokens.push_back({GameEvent::UNCLOSED_TAG, tag.text});
    } else if (const std::optional<TagParts> parts = tag_parts(tag.text)) {
      game.tags.emplace_back(parts->name, value_of(parts->quoted));
    } else {
      game.tokens.push_back({GameEvent::BAD_TAG, tag.text});
    }
  }
  // Returns a tag value with its escapes (\" and \\) undone.
  std::string_view value_of(std::string_view quoted) {
    if (quoted.find('\\') == std::string_view::npos) return quoted;
    auto value = std::make_unique_for_overwrite<char[]>(quoted.size());
    std::size_t size = 0;
    for (std::size_t i = 0; i < quoted.size(); ++i) {
      if (quoted[i] == '\\' && i + 1 < quoted.size() &&
          (quoted[i + 1] == '"' || quoted[i + 1] == '\\'))
        ++i;
      value[size++] = quoted[i];
    }
    game.unescaped_values.push_back(std::move(value));
    return {game.unescaped_values.back().get(), size};
  }

  void move(PgnToken kind, std::string_view text) {
    const bool move = kind == PgnToken::MOVE;
    game.tokens.push_back({move ? GameEvent::MOVE : GameEvent::NULL_MOVE, text});
    game.moves += move;
  }
  void comment(std::string_view text) { game.tokens.push_back({GameEvent::COMMENT, text}); }
  void unclosed_comment() { game.tokens.push_back({GameEvent::UNCLOSED_COMMENT, {}}); }
  void result(std::string_view text) { game.tokens.push_back({GameEvent::RESULT, text}); }
};

// Scans one game of the lexer's text into `game`.
GameScan scan_into(PgnLexer& lexer, GameText& game) {
  game.tags.reserve(20);
  game.tokens.reserve(256);
  SplitHandler handler{game};
  const GameScan scan = scan_game(lexer, handler);
  game.open_variations = scan.depth;
  game.end = scan.end;
  return scan;
}

}  // namespace

std::optional<TagParts> tag_parts(std::string_view text) {
  text = trim_blanks(text);
  std::size_t name_end = 0;
  while (name_end < text.size() && !is_blank(text[name_end]) && text[name_end] != '"') ++name_end;
  const std::string_view name = text.substr(0, name_end);
  const std::string_view quoted = trim_blanks(text.substr(name_end));
  if (name.empty() || quoted.size() < 2 || quoted.front() != '"' || quoted.back() != '"')
    return std::nullopt;
  return TagParts{name, quoted.substr(1, quoted.size() - 2)};
}

std::string_view TextStore::copy(std::string_view text) {
  if (!block_ || block_->capacity - used_ < text.size()) {
    block_ = std::make_shared<TextBlock>();
    block_->capacity = std::max(GameSplitter::BLOCK_SIZE, text.size());
    block_->bytes = std::make_unique_for_overwrite<char[]>(block_->capacity);
    used_ = 0;
  }
  char* copy = block_->bytes.get() + used_;
  if (!text.empty()) std::memcpy(copy, text.data(), text.size());
  used_ += text.size();
  return {copy, text.size()};
}

GameText whole_game(std::string_view text, std::string_view* rest) {
  GameText game;
  PgnLexer lexer(text);
  const GameScan scan = scan_into(lexer, game);
  game.text = text.substr(0, scan.length);
  game.line = 1 + count_line_ends(text.substr(0, scan.opens_at));
  // Anything after the game but comments and blank lines is another game.
  GameText after;
  PgnLexer more(text.substr(scan.length), scan.line_start);
  *rest = scan_into(more, after).open ? text.substr(scan.length) : std::string_view();
  return game;
}

std::span<char> GameSplitter::space() {
  if (!block_ || block_->capacity - size_ < MIN_READ) {
    // A new block, with the bytes of the unfinished game moved to its start.
    const std::size_t kept = size_ - start_;
    auto block = std::make_shared<TextBlock>();
    block->capacity = std::max(BLOCK_SIZE, 2 * kept + MIN_READ);
    block->bytes = std::make_unique_for_overwrite<char[]>(block->capacity);
    if (kept > 0) std::memcpy(block->bytes.get(), block_->bytes.get() + start_, kept);
    block_ = std::move(block);
    tokens_end_ = tokens_end_ > start_ ? tokens_end_ - start_ : 0;
    start_ = 0;
    size_ = kept;
  }
  return {block_->bytes.get() + size_, block_->capacity - size_};
}

void GameSplitter::commit(std::size_t size) {
  // The end of the last whole token: the last white space or control byte, but for a CR at the
  // very end, which may be the first half of a CRLF. Not the last line end: a file written on
  // one line would be held whole.
  const char* bytes = block_->bytes.get();
  for (std::size_t at = size_ + size; at > size_ && at > start_; --at) {
    const char c = bytes[at - 1];
    if (is_blank(c) && (c != '\r' || at < size_ + size)) {
      tokens_end_ = at;
      break;
    }
  }
  size_ += size;
}

std::optional<GameText> GameSplitter::next() {
  if (!block_) return std::nullopt;
  if (!final_ && pending_ >= MIN_READ && size_ - start_ < 2 * pending_) return std::nullopt;
  // Before the end of the input, only whole tokens: every token but a comment, a tag or a
  // variation then ends inside the view, and one of those three that does not is read to the
  // view's end, where the game is not over yet.
  const std::size_t end = final_ ? size_ : std::max(tokens_end_, start_);
  const std::string_view available(block_->bytes.get() + start_, end - start_);
  GameText game;
  PgnLexer lexer(available, line_start_);
  const GameScan scan = scan_into(lexer, game);
  if (scan.end == GameEnd::TEXT && !final_) {
    pending_ = size_ - start_;
    return std::nullopt;
  }
  pending_ = 0;
  const std::string_view text = available.substr(0, scan.length);
  game.line = line_ + count_line_ends(text.substr(0, scan.opens_at));
  line_ += count_line_ends(text);
  start_ += scan.length;
  line_start_ = scan.line_start;
  // Only comments or blank lines were left: no game.
  if (!scan.open) return std::nullopt;
  game.text = text;
  game.storage = block_;
  return game;
}

}  // namespace vorel
