#include "chess_move/chess_move.hpp"

#include <array>

#include "common/unicode.hpp"

namespace vorel {

std::string square(std::uint16_t n) {
  std::string text(2, ' ');
  write_square(text.data(), n);
  return text;
}

std::string ChessMove::to_string() const {
  char text[MAX_TEXT];
  return std::string(text, write_text(text));
}

namespace {

// True for a text of 4 or 5 printable ASCII characters other than the space: it holds no white
// space to trim and each byte is one character.
constexpr bool plain_move_word(std::string_view text) {
  if (text.size() != 4 && text.size() != 5) return false;
  for (const char c : text) {
    if (c <= ' ' || c > '~') return false;
  }
  return true;
}

}  // namespace

std::expected<ChessMove, std::string> ChessMove::from_str(std::string_view s_move) {
  // The usual text, read at once; any other text takes the general way below, which reports what
  // is wrong with it.
  if (const std::optional<ChessMove> plain = read_plain(s_move)) return *plain;
  const std::string_view trimmed = plain_move_word(s_move) ? s_move : trim_white_space(s_move);
  // The length is counted in bytes of the UTF-8 text, not in characters.
  if (trimmed.size() != 4 && trimmed.size() != 5) {
    return std::unexpected(
        "Unsupported move notation. Must be 4 or 5 (promotion) characters. Found: " +
        std::string(trimmed));
  }

  // Characters of the text, at most five (five bytes hold at most five characters).
  std::array<char32_t, 5> chars{};
  std::size_t count = 0;
  for (std::size_t pos = 0; pos < trimmed.size(); ++count) {
    const Utf8Char c = decode_utf8(trimmed, pos);
    chars[count] = c.code;
    pos += c.size;
  }

  std::uint16_t promotion = 0;
  if (trimmed.size() == 5) {
    const char32_t letter = chars[count - 1];
    promotion = letter <= 0xFF ? promotion_of_letter(static_cast<unsigned char>(letter)) : 0;
    if (promotion == 0) {
      return std::unexpected("Unsupported promotion type for " + std::string(trimmed));
    }
  }

  // Each character counts as its code point modulo 256, and differences wrap in 8 bits, so a
  // character below the base becomes a large value.
  static constexpr std::array<const char*, 4> CHECKS = {
      "assertion failed: from_file <= 7", "assertion failed: from_rank <= 7",
      "assertion failed: to_file <= 7", "assertion failed: to_rank <= 7"};
  static constexpr std::array<char, 4> BASES = {'a', '1', 'a', '1'};
  std::array<std::uint16_t, 4> values{};
  for (std::size_t i = 0; i < 4; ++i) {
    // Possible only with multi-byte characters: the length test passed on fewer than four.
    if (i >= count) throw Fault("index out of range: the move text has fewer than four characters");
    const auto value = static_cast<std::uint8_t>(static_cast<std::uint8_t>(chars[i] & 0xFF) -
                                                 static_cast<std::uint8_t>(BASES[i]));
    if (value > 7) throw Fault(CHECKS[i]);
    values[i] = value;
  }
  return unchecked(values[1] * 8u + values[0], values[3] * 8u + values[2], promotion);
}

}  // namespace vorel
