#include "notation/pgn_lexer.hpp"

#include <algorithm>
#include <utility>

namespace vorel {

namespace {}  // namespace

std::size_t count_line_ends(std::string_view text) {
  const auto feeds = static_cast<std::size_t>(std::ranges::count(text, '\n'));
  std::size_t returns = 0;
  for (std::size_t at = text.find('\r'); at != std::string_view::npos; at = text.find('\r', at + 1))
    returns += at + 1 == text.size() || text[at + 1] != '\n';
  return feeds + returns;
}

TagText PgnLexer::read_tag() {
  const std::size_t first = pos_;
  bool quoted = false;
  while (pos_ < text_.size()) {
    const char c = text_[pos_];
    if (is_line_end(c)) break;
    ++pos_;
    if (quoted) {
      if (c == '\\' && pos_ < text_.size() && !is_line_end(text_[pos_])) {
        ++pos_;
      } else if (c == '"') {
        quoted = false;
      }
    } else if (c == '"') {
      quoted = true;
    } else if (c == ']') {
      return {text_.substr(first, pos_ - 1 - first), true};
    }
  }
  return {text_.substr(first, pos_ - first), false};
}

}  // namespace vorel
