#pragma once

// The tokens of PGN text: tags, moves and move numbers, results, comments, variations and NAGs.
// The lexer reads one contiguous text; line comments (";" to the end of the line), escape lines
// ("%" at the start of a line), move-number dots, annotation glyphs ("!?", "+-"), "e.p." and
// byte-order marks are read past. CR, LF and CRLF all end a line.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>

#include "common/text.hpp"

namespace vorel {

enum class PgnToken : std::uint8_t {
  END,          // the text is used up
  BRACKET,      // a "[": the start of a tag, which the caller reads with read_tag() if it wants
  MOVE,         // a run of symbol bytes that is none of the below: a move, or no move at all
  MOVE_NUMBER,  // digits alone ("12" of "12." or "12...")
  RESULT,       // "1-0", "0-1", "1/2-1/2" or "*"
  NULL_MOVE,    // "--", "Z0", "0000" or "@@@@"
  COMMENT,      // "{...}": the text between the braces
  OPEN,         // "(": a variation begins
  CLOSE,        // ")": it ends
  NAG,          // "$" and its digits
};

// A tag as read_tag() finds it: the text between "[" and the "]" that closes it (a "]" inside
// the quoted value does not), or up to the end of its line when none does.
struct TagText {
  std::string_view text;
  bool closed;
};

// True for the bytes that may start a tag's name.
constexpr bool is_tag_name_start(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
}

// White space and control bytes separate tokens and mean nothing else.
constexpr bool is_blank(char c) { return static_cast<unsigned char>(c) <= ' '; }
constexpr bool is_line_end(char c) { return c == '\n' || c == '\r'; }

namespace lexer_tables {

inline constexpr std::string_view BYTE_ORDER_MARK = "\xEF\xBB\xBF";
inline constexpr std::array<std::string_view, 3> RESULT_TOKENS = {"1-0", "0-1", "1/2-1/2"};
inline constexpr std::array<std::string_view, 4> NULL_MOVES = {"--", "Z0", "0000", "@@@@"};

// What a byte is to a run of symbol bytes: the end of it (white space, control bytes and the
// punctuation of PGN), a digit, an annotation glyph's character, or anything else.
inline constexpr std::uint8_t ENDS = 1, DIGIT = 2, GLYPH = 4, OTHER = 8;
inline constexpr auto SYMBOL_BYTES = [] {
  std::array<std::uint8_t, 256> table{};
  table.fill(OTHER);
  for (unsigned c = 0; c <= ' '; ++c) table[c] = ENDS;
  for (const char c : std::string_view(".{}()[];$*\"<>"))
    table[static_cast<unsigned char>(c)] = ENDS;
  for (char c = '0'; c <= '9'; ++c) table[static_cast<unsigned char>(c)] = DIGIT;
  for (const char c : std::string_view("!?+-=/~")) table[static_cast<unsigned char>(c)] = GLYPH;
  return table;
}();

constexpr bool ends_symbol(char c) { return SYMBOL_BYTES[static_cast<unsigned char>(c)] == ENDS; }

}  // namespace lexer_tables

// Returns the number of lines that end in `text`: every LF, and every CR that no LF follows.
std::size_t count_line_ends(std::string_view text);

// Reads the tokens of a text one at a time: next() returns the kind of the next one, and the
// accessors tell about the token it last returned.
class PgnLexer {
 public:
  // Reads `text`; `line_start` tells whether it starts at the start of a line.
  explicit PgnLexer(std::string_view text, bool line_start = true)
      : text_(text), line_start_(line_start) {}

  // Returns the kind of the next token.
  PgnToken next();

  // MOVE, MOVE_NUMBER, RESULT, NULL_MOVE, COMMENT, NAG: the token's text (a comment's between
  // the braces).
  std::string_view text() const { return token_; }
  // Where the token starts in the lexer's text.
  std::size_t start() const { return start_; }
  // True when nothing but white space precedes the token on its line.
  bool line_start() const { return token_line_start_; }
  // COMMENT: false when the text ended, or a line starting a tag came, before the closing "}".
  bool closed() const { return closed_; }
  // True when the lexer has read all of its text.
  bool at_end() const { return pos_ == text_.size(); }

  // Reads the tag whose "[" next() has just returned.
  TagText read_tag();

  // True when the byte after the "[" just returned can start a tag's name: a "[" at the start of
  // a line is a tag only then ("[%clk ...]" in a comment that spans lines is none).
  bool tag_follows() const { return pos_ < text_.size() && is_tag_name_start(text_[pos_]); }

  // Returns where the lexer stands in its text: just after the last token returned.
  std::size_t position() const { return pos_; }

 private:
  // Skips white space, line comments and escape lines up to the next token's first byte.
  void skip_blanks();
  // Reads a run of symbol bytes; returns END for one that is read past ("e.p.", a glyph).
  PgnToken symbol();
  PgnToken comment();

  std::string_view text_;
  std::size_t pos_ = 0;
  bool line_start_;
  std::string_view token_;
  std::size_t start_ = 0;
  bool token_line_start_ = false;
  bool closed_ = true;
};

using namespace lexer_tables;

inline void PgnLexer::skip_blanks() {
  while (true) {
    while (pos_ < text_.size() && is_blank(text_[pos_])) {
      if (is_line_end(text_[pos_])) line_start_ = true;
      ++pos_;
    }
    if (pos_ == text_.size()) return;
    const char c = text_[pos_];
    if (c == ';' || (c == '%' && line_start_)) {
      // A line comment, or an escape line: read past to the end of the line, which stays.
      while (pos_ < text_.size() && !is_line_end(text_[pos_])) ++pos_;
    } else if (c == BYTE_ORDER_MARK[0] && text_.substr(pos_, 3) == BYTE_ORDER_MARK) {
      pos_ += 3;  // where files were joined
    } else {
      return;
    }
  }
}

inline PgnToken PgnLexer::next() {
  while (true) {
    skip_blanks();
    start_ = pos_;
    if (pos_ == text_.size()) return PgnToken::END;
    token_line_start_ = std::exchange(line_start_, false);
    const char c = text_[pos_++];
    // Tested in the order of how often they come, with no jump table, whose target a processor
    // predicts worse.
    if (SYMBOL_BYTES[static_cast<unsigned char>(c)] != ENDS) {
      const PgnToken kind = symbol();
      if (kind != PgnToken::END) return kind;
      continue;
    }
    if (c == '{') return comment();
    if (c == '[') return PgnToken::BRACKET;
    if (c == '(') return PgnToken::OPEN;
    if (c == ')') return PgnToken::CLOSE;
    if (c == '*') {
      token_ = text_.substr(start_, 1);
      return PgnToken::RESULT;
    }
    if (c == '$') {
      while (pos_ < text_.size() && text_[pos_] >= '0' && text_[pos_] <= '9') ++pos_;
      token_ = text_.substr(start_, pos_ - start_);
      return PgnToken::NAG;
    }
    // Move-number dots, and the bytes with no use outside tags and comments (] } " < >), are
    // read past.
  }
}

inline PgnToken PgnLexer::symbol() {
  const char* const data = text_.data();
  std::uint8_t seen = SYMBOL_BYTES[static_cast<unsigned char>(data[start_])];
  while (pos_ < text_.size()) {
    const std::uint8_t kind = SYMBOL_BYTES[static_cast<unsigned char>(data[pos_])];
    if (kind == ENDS) break;
    // A byte-order mark glued to a token (files joined without a line end) ends it.
    if (data[pos_] == BYTE_ORDER_MARK[0] && text_.substr(pos_, 3) == BYTE_ORDER_MARK) break;
    seen |= kind;
    ++pos_;
  }
  std::string_view text(data + start_, pos_ - start_);
  // "e.p." after an en-passant capture, alone or glued to it ("exd6e.p."), is read past.
  if (text.back() == 'e' && pos_ + 1 < text_.size() && data[pos_] == '.' && data[pos_ + 1] == 'p') {
    const std::size_t after = pos_ + 2 + (pos_ + 2 < text_.size() && data[pos_ + 2] == '.');
    if (after == text_.size() || ends_symbol(data[after])) {
      pos_ = after;
      text.remove_suffix(1);
      if (text.empty()) return PgnToken::END;
    }
  }
  token_ = text;
  if (seen == DIGIT) return PgnToken::MOVE_NUMBER;
  if ((seen & OTHER) == 0 || text.front() == 'Z' || text.front() == '@') {
    if (std::ranges::find(RESULT_TOKENS, text) != RESULT_TOKENS.end()) return PgnToken::RESULT;
    if (std::ranges::find(NULL_MOVES, text) != NULL_MOVES.end()) return PgnToken::NULL_MOVE;
    if (seen == GLYPH) return PgnToken::END;  // an annotation glyph standing alone: read past
  }
  return PgnToken::MOVE;
}

inline PgnToken PgnLexer::comment() {
  const std::size_t first = pos_;
  const char* const data = text_.data();
  std::size_t at = find_any_of<'}', '\n', '\r'>(data, first, text_.size());
  // A line that starts a tag ends a comment left open: the tag is the next game's. Comments
  // rarely span lines, so that is looked for only when they do.
  if (at < text_.size() && data[at] != '}') {
    at = std::min(text_.find('}', at), text_.size());
    for (std::size_t end = first; end < at; ++end) {
      if (!is_line_end(data[end])) continue;
      std::size_t next = end + 1;
      while (next < at) {
        if (is_blank(data[next]) && !is_line_end(data[next])) {
          ++next;
        } else if (text_.substr(next, 3) == BYTE_ORDER_MARK) {
          next += 3;
        } else {
          break;
        }
      }
      if (next + 1 < at && data[next] == '[' && is_tag_name_start(data[next + 1])) {
        pos_ = next;
        line_start_ = true;
        token_ = text_.substr(first, end - first);
        closed_ = false;
        return PgnToken::COMMENT;
      }
    }
  }
  closed_ = at < text_.size();
  pos_ = closed_ ? at + 1 : at;
  token_ = std::string_view(data + first, at - first);
  return PgnToken::COMMENT;
}

}  // namespace vorel
