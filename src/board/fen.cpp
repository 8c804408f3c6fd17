#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
#include <utility>

#include "board/board.hpp"
#include "common/unicode.hpp"

namespace vorel {

namespace {

// Returns the first field of the text, or faults when there is none.
std::string_view placement_field(std::string_view fen) {
  const std::string_view field = WhiteSpaceFields(fen).next();
  if (field.empty()) throw Fault("FEN text is empty");
  return field;
}

// What a byte of a placement is: a piece index (0..11), DIGIT + its value, SLASH, SPACE (ASCII
// white space), or OTHER (no placement character, or the first byte of a multi-byte one).
constexpr std::uint8_t DIGIT = 16, SLASH = 32, SPACE = 33, OTHER = 34;
constexpr auto PLACEMENT_BYTES = [] {
  std::array<std::uint8_t, 256> table{};
  table.fill(OTHER);
  for (std::size_t piece = 0; piece < PIECE_NB; ++piece)
    table[static_cast<unsigned char>(PIECE_LETTERS[piece])] = static_cast<std::uint8_t>(piece);
  for (unsigned digit = 0; digit < 10; ++digit)
    table['0' + digit] = static_cast<std::uint8_t>(DIGIT + digit);
  table['/'] = SLASH;
  for (const unsigned char c : {' ', '\t', '\n', '\v', '\f', '\r'}) table[c] = SPACE;
  return table;
}();

FenError fault(std::string message) { return {std::move(message), true}; }
FenError error(std::string message) { return {std::move(message), false}; }

// Reads the placement field starting at `start` (its first character, not white space) into
// `pieces`; returns where it ends, or why it does not read. The letters are read before the shape
// is checked: a letter that names no piece is a fault even in a placement of the wrong shape,
// which alone would be an error message.
std::expected<std::size_t, FenError> read_placement(std::string_view fen, std::size_t start,
                                                    Pieces& pieces) {
  unsigned ranks = 1;
  unsigned squares = 0;   // on the current rank, each digit counting as that many
  unsigned square = 56;   // the square of the next piece, a8 first
  unsigned bad_rank = 0;  // the first rank, counted from 8 down, whose squares are not 8
  unsigned bad_squares = 0;
  std::size_t pos = start;
  for (; pos < fen.size(); ++pos) {
    const auto c = static_cast<unsigned char>(fen[pos]);
    const std::uint8_t kind = PLACEMENT_BYTES[c];
    if (kind < PIECE_NB) {
      // Only a placement of 8 ranks of 8 squares is kept: in any other, pieces may land on wrong
      // squares (modulo 64), and the bitboards are dropped.
      pieces[kind] |= square_bb(square % 64);
      ++square;
      ++squares;
    } else if (kind < SLASH) {
      square += kind - DIGIT;
      squares += kind - DIGIT;
    } else if (kind == SLASH) {
      if (squares != 8 && bad_rank == 0) {
        bad_rank = 9 - ranks;
        bad_squares = squares;
      }
      ++ranks;
      squares = 0;
      square = (8 - ranks) * 8;  // wraps around below rank 1, where nothing is kept
    } else if (kind == SPACE || (c >= 0x80 && white_space_size(fen, pos) != 0)) {
      break;
    } else {
      return std::unexpected(fault("Invalid piece type"));
    }
  }
  if (squares != 8 && bad_rank == 0) {
    bad_rank = 9 - ranks;
    bad_squares = squares;
  }
  if (ranks != 8) {
    return std::unexpected(
        error("Invalid piece placement: " + std::to_string(ranks) + " ranks instead of 8"));
  }
  if (bad_rank != 0) {
    return std::unexpected(error("Invalid piece placement: rank " + std::to_string(bad_rank) +
                                 " describes " + std::to_string(bad_squares) +
                                 " squares instead of 8"));
  }
  return pos;
}

}  // namespace

std::string reverse_fen(std::string_view fen) {
  std::string reversed;
  reversed.reserve(fen.size());
  std::size_t end = fen.size();
  while (true) {
    const std::size_t slash = end == 0 ? std::string_view::npos : fen.rfind('/', end - 1);
    const std::size_t start = slash == std::string_view::npos ? 0 : slash + 1;
    reversed.append(fen.substr(start, end - start));
    if (slash == std::string_view::npos) return reversed;
    reversed.push_back('/');
    end = slash;
  }
}

Pieces pieces_from_fen(std::string_view fen) {
  // Rank 1 is listed last in FEN; walking the reversed text fills the squares from a1 upwards.
  const std::string text = reverse_fen(placement_field(fen));
  Pieces pieces{};
  unsigned counter = 0;
  for (std::size_t pos = 0; pos < text.size();) {
    const Utf8Char c = decode_utf8(text, pos);
    pos += c.size;
    if (c.code == '/') continue;
    if (c.code >= '0' && c.code <= '9') {
      counter += c.code - '0';
      continue;
    }
    const std::size_t piece =
        c.code < 0x80 && PLACEMENT_BYTES[c.code] < PIECE_NB ? PLACEMENT_BYTES[c.code] : PIECE_NB;
    if (piece == PIECE_NB) throw Fault("Invalid piece type");
    pieces[piece] |= square_bb(counter % 64);
    ++counter;
  }
  return pieces;
}

std::expected<Position, FenError> read_fen(std::string_view fen) {
  const std::size_t start = skip_white_space(fen, 0);
  if (start == fen.size()) return std::unexpected(fault("FEN text is empty"));
  Position position{};
  const std::expected<std::size_t, FenError> end = read_placement(fen, start, position.pieces);
  if (!end) return std::unexpected(end.error());

  WhiteSpaceFields fields(fen, *end);
  std::optional<FenError> missing;
  const auto required = [&](const char* name) {
    const std::string_view field = fields.next();
    if (field.empty()) missing = fault(std::string("FEN text has no ") + name + " field");
    return field;
  };

  const std::string_view side = required("side-to-move");
  if (missing) return std::unexpected(*missing);
  std::uint64_t& info = position.info;
  if (side == "w") {
    info = WHITE_TO_MOVE;
  } else if (side != "b") {
    return std::unexpected(error("Invalid side-to-move"));
  }

  const std::string_view castling = required("castling");
  if (missing) return std::unexpected(*missing);
  for (const char c : castling) {
    if (c == '-') break;
    switch (c) {
      case 'K': info |= CASTLE_WHITE_KING; break;
      case 'Q': info |= CASTLE_WHITE_QUEEN; break;
      case 'k': info |= CASTLE_BLACK_KING; break;
      case 'q': info |= CASTLE_BLACK_QUEEN; break;
      default: return std::unexpected(error("Invalid castling specifier"));
    }
  }

  // Only the file letter is read: the rank of the target follows from the side to move.
  const std::string_view en_passant = required("en-passant");
  if (missing) return std::unexpected(*missing);
  if (en_passant != "-") {
    const char letter = en_passant.front();
    if (letter < 'a' || letter > 'h') return std::unexpected(error("Invalid en-passant specifier"));
    const unsigned first = en_passant_group(position.side_to_move());
    info |= std::uint64_t{1} << (first + unsigned(letter - 'a'));
  }
  return position;
}

std::expected<Board, std::string> Board::from_fen(std::string_view fen) {
  std::expected<Position, FenError> position = read_fen(fen);
  if (!position) {
    if (position.error().fault) throw Fault(position.error().message);
    return std::unexpected(std::move(position.error().message));
  }
  return Board(position->pieces, position->info);
}

std::size_t Position::write_fen(char* out) const { return vorel::write_fen(*this, out); }

namespace {

// How one rank of a placement is written, by its occupancy (bit f set: file f holds a piece):
// the text with a digit for each run of empty squares and a space where each piece's letter
// goes, its length, and for each occupied file the position of its letter in the text.
struct RankText {
  std::array<char, 8> text;
  std::uint8_t length;
  std::array<std::uint8_t, 8> letter_at;
};
constexpr auto RANK_TEXTS = [] {
  std::array<RankText, 256> table{};
  for (unsigned row = 0; row < 256; ++row) {
    RankText& rank = table[row];
    unsigned empty = 0;
    for (unsigned file = 0; file < 8; ++file) {
      if ((row >> file & 1) == 0) {
        ++empty;
        continue;
      }
      if (empty != 0) rank.text[rank.length++] = static_cast<char>('0' + std::exchange(empty, 0));
      rank.letter_at[file] = rank.length;
      rank.text[rank.length++] = ' ';
    }
    if (empty != 0) rank.text[rank.length++] = static_cast<char>('0' + empty);
  }
  return table;
}();

}  // namespace

std::size_t write_fen(const Position& position, char* out) {
  const Pieces& pieces = position.pieces;
  const std::uint64_t info = position.info;
  // The letter of a square is that of the lowest piece index standing on it; only the occupied
  // squares are read.
  std::array<char, SQUARE_NB> letters;
  for (std::size_t piece = PIECE_NB; piece-- > 0;) {
    for (Bitboard b = pieces[piece]; b != 0;) letters[pop_lsb(b)] = PIECE_LETTERS[piece];
  }

  // Rank by rank from rank 8: the rank's text, then the letters of its pieces into it.
  const Bitboard occupied = occupancy(pieces);
  char* p = out;
  for (unsigned rank = 8; rank-- > 0;) {
    const unsigned row = (occupied >> (8 * rank)) & 0xFF;
    const RankText& text = RANK_TEXTS[row];
    // Eight bytes at once, the unused ones overwritten by what follows; rank 1, which only the
    // short fields follow, takes exactly its own, as two copies that may overlap.
    const char* from = text.text.data();
    if (rank != 0) {
      std::memcpy(p, from, 8);
    } else if (const unsigned length = text.length; length >= 4) {
      std::memcpy(p, from, 4);
      std::memcpy(p + length - 4, from + length - 4, 4);
    } else {
      p[0] = from[0];
      p[length / 2] = from[length / 2];
      p[length - 1] = from[length - 1];
    }
    for (Bitboard files = row; files != 0;) {
      const unsigned file = pop_lsb(files);
      p[text.letter_at[file]] = letters[rank * 8 + file];
    }
    p += text.length;
    *p++ = '/';
  }
  p[-1] = ' ';

  const bool white = info & WHITE_TO_MOVE;
  *p++ = white ? 'w' : 'b';
  *p++ = ' ';
  if ((info & CASTLING_MASK) == 0) *p++ = '-';
  if (info & CASTLE_WHITE_KING) *p++ = 'K';
  if (info & CASTLE_WHITE_QUEEN) *p++ = 'Q';
  if (info & CASTLE_BLACK_KING) *p++ = 'k';
  if (info & CASTLE_BLACK_QUEEN) *p++ = 'q';
  *p++ = ' ';

  const unsigned first = white ? EN_PASSANT_WHITE : EN_PASSANT_BLACK;
  const std::uint64_t files = (info >> first) & EN_PASSANT_FILES;
  if (files == 0) {
    *p++ = '-';
  } else {
    *p++ = static_cast<char>('a' + std::countr_zero(files));
    *p++ = white ? '6' : '3';
  }
  return static_cast<std::size_t>(p - out);
}

std::size_t fen_length(const Position& position) {
  const Bitboard occupied = occupancy(position.pieces);
  std::size_t length = 7 + 3 + 1;  // the slashes, the spaces between fields, the side to move
  for (unsigned rank = 0; rank < 8; ++rank)
    length += RANK_TEXTS[(occupied >> (8 * rank)) & 0xFF].length;
  const std::uint64_t info = position.info;
  const std::uint64_t rights = info & CASTLING_MASK;
  length += rights == 0 ? 1
                        : ((rights >> 1) & 1) + ((rights >> 2) & 1) + ((rights >> 3) & 1) +
                              ((rights >> 4) & 1);
  const unsigned first = (info & WHITE_TO_MOVE) ? EN_PASSANT_WHITE : EN_PASSANT_BLACK;
  length += ((info >> first) & EN_PASSANT_FILES) != 0 ? 2 : 1;
  return length;
}

std::string Position::to_fen() const {
  char text[MAX_FEN];
  return std::string(text, write_fen(text));
}

}  // namespace vorel
