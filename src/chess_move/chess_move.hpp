#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "common/fault.hpp"
#include "common/types.hpp"

namespace vorel {

// Special codes of a move word.
enum Special : std::uint16_t {
  ORDINARY = 0,
  EN_PASSANT = 1,
  DOUBLE_PUSH = 2,
  CASTLING = 3,
  PROMOTE_KNIGHT = 4,
  PROMOTE_BISHOP = 5,
  PROMOTE_ROOK = 6,
  PROMOTE_QUEEN = 7,
};

// Returns the text of square n: file letter then rank digit (12 gives "e2").
std::string square(std::uint16_t n);

// A move as one 16-bit word.
// bits 0-5: origin square, bits 6-11: destination square, bits 12-15: special code.
struct ChessMove {
  std::uint16_t data;

  // Longest text form: origin, destination and a promotion letter.
  static constexpr std::size_t MAX_TEXT = 5;

  ChessMove() = default;

  // Returns the move from `from` to `to` with code `special`, checking the three ranges in order.
  constexpr ChessMove(std::uint16_t from, std::uint16_t to, std::uint16_t special)
      : data(checked(from, to, special)) {}

  // Returns the move without range checks; the caller guarantees from, to < 64, special < 16.
  static constexpr ChessMove unchecked(unsigned from, unsigned to, unsigned special) {
    ChessMove move;
    move.data = static_cast<std::uint16_t>(from | to << 6 | special << 12);
    return move;
  }

  constexpr std::uint16_t from() const { return data & 63; }
  constexpr std::uint16_t to() const { return (data >> 6) & 63; }
  constexpr std::uint16_t special() const { return data >> 12; }
  // Returns the promotion code (PROMOTE_KNIGHT ... PROMOTE_QUEEN), or ORDINARY for a move that
  // promotes nothing.
  constexpr std::uint16_t promotion() const {
    return special() >= PROMOTE_KNIGHT ? special() : std::uint16_t{ORDINARY};
  }

  friend constexpr bool operator==(ChessMove, ChessMove) = default;

  // Returns the move of a plain move text: the two squares and an optional promotion letter in
  // either case, four or five ASCII characters ("e2e4", "e7e8q", "e7e8Q"); nothing for any other
  // text. Castling is the king's move, special codes other than promotions are 0.
  static std::optional<ChessMove> read_plain(std::string_view text);

  // Parses coordinate notation ("e2e4", "e7e8q"). A text of the wrong length or with an unknown
  // promotion letter gives an error message; a bad square character is an internal fault.
  static std::expected<ChessMove, std::string> from_str(std::string_view s_move);

  // Writes the text form (up to MAX_TEXT characters, promotion letters in lowercase) and returns
  // its length. A word with code 8..15 has no text form and is an internal fault.
  std::size_t write_text(char* out) const;

  std::string to_string() const;

 private:
  static constexpr std::uint16_t checked(std::uint16_t from, std::uint16_t to,
                                         std::uint16_t special) {
    if (from >= 64) throw Fault("Invalid FROM int");
    if (to >= 64) throw Fault("Invalid TO int");
    if (special >= 16) throw Fault("Invalid SPECIAL int");
    return static_cast<std::uint16_t>(from | to << 6 | special << 12);
  }
};

// Returns the promotion code of a promotion letter in either case, or 0 for any other byte.
constexpr std::uint16_t promotion_of_letter(unsigned char letter) {
  switch (letter | 0x20) {
    case 'n': return PROMOTE_KNIGHT;
    case 'b': return PROMOTE_BISHOP;
    case 'r': return PROMOTE_ROOK;
    case 'q': return PROMOTE_QUEEN;
    default: return 0;
  }
}

// Inline, as the hot loops that read move texts want it: a small result in registers.
inline std::optional<ChessMove> ChessMove::read_plain(std::string_view text) {
  if (text.size() != 4 && text.size() != 5) return std::nullopt;
  const auto at = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned from_file = at(0) - 'a', from_rank = at(1) - '1';
  const unsigned to_file = at(2) - 'a', to_rank = at(3) - '1';
  const std::uint16_t promotion = text.size() == 5 ? promotion_of_letter(at(4)) : std::uint16_t{0};
  if ((from_file | from_rank | to_file | to_rank) > 7 || (text.size() == 5 && promotion == 0))
    return std::nullopt;
  return unchecked(make_square(from_file, from_rank), make_square(to_file, to_rank), promotion);
}

// Writes the two characters of square n.
inline void write_square(char* out, unsigned n) {
  out[0] = static_cast<char>('a' + (n & 7));
  out[1] = static_cast<char>('1' + ((n >> 3) & 7));
}

inline std::size_t ChessMove::write_text(char* out) const {
  write_square(out, from());
  write_square(out + 2, to());
  const unsigned code = special();
  if (code < PROMOTE_KNIGHT) return 4;
  if (code > PROMOTE_QUEEN) throw Fault("Move word has no text form: special code above 7");
  out[4] = "nbrq"[code - PROMOTE_KNIGHT];
  return 5;
}

}  // namespace vorel
