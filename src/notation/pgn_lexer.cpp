#include "notation/pgn_lexer.hpp"

#include <algorithm>
#include <utility>

namespace vorel {

std::size_t count_line_ends(std::string_view text) {
  // Counted in blocks of 255 bytes into a byte: loops the compiler turns into vector
  // instructions.
  std::size_t feeds = 0;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t end = std::min(text.size(), at + 255);
    std::uint8_t block = 0;
    for (; at < end; ++at) block += text[at] == '\n';
    feeds += block;
  }
  std::size_t returns = 0;
  for (std::size_t at = text.find('\r'); at != std::string_view::npos; at = text.find('\r', at + 1))
    returns += at + 1 == text.size() || text[at + 1] != '\n';
  return feeds + returns;
}

TagText PgnLexer::read_tag() {
  const std::size_t first = pos_;
  const char* const data = text_.data();
  bool quoted = false;
  while (true) {
    // Outside the value, up to its quote or the closing bracket; inside, up to the closing
    // quote or a backslash, which takes the byte after it along. A line end ends the tag.
    pos_ = quoted ? find_any_of<'"', '\\', '\n', '\r'>(data, pos_, text_.size())
                  : find_any_of<'"', ']', '\n', '\r'>(data, pos_, text_.size());
    if (pos_ == text_.size() || is_line_end(data[pos_])) break;
    const char c = data[pos_++];
    if (c == ']') return {text_.substr(first, pos_ - 1 - first), true};
    if (c == '"') {
      quoted = !quoted;
    } else if (pos_ < text_.size() && !is_line_end(data[pos_])) {
      ++pos_;  // the byte a backslash escapes
    }
  }
  return {text_.substr(first, pos_ - first), false};
}

}  // namespace vorel
