#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <expected>
#include <string>
#include <utility>

#include "board/board.hpp"
#include "common/unicode.hpp"

namespace vorel {

namespace {

constexpr std::string_view PIECE_LETTERS = "PNBRQKpnbrqk";

// The piece index of every byte: that of its FEN letter, PIECE_NB for any other byte.
constexpr auto PIECE_OF_BYTE = [] {
  std::array<std::uint8_t, 256> table{};
  table.fill(PIECE_NB);
  for (std::size_t piece = 0; piece < PIECE_NB; ++piece)
    table[static_cast<unsigned char>(PIECE_LETTERS[piece])] = static_cast<std::uint8_t>(piece);
  return table;
}();

// Returns the piece index of a FEN letter, or PIECE_NB for any other character.
constexpr std::size_t piece_of_letter(char c) {
  return PIECE_OF_BYTE[static_cast<unsigned char>(c)];
}

// Returns the first field of the text, or faults when there is none.
std::string_view placement_field(std::string_view fen) {
  const std::string_view field = WhiteSpaceFields(fen).next();
  if (field.empty()) throw Fault("FEN text is empty");
  return field;
}

[[noreturn, gnu::cold]] void throw_invalid_piece() { throw Fault("Invalid piece type"); }

// What each byte stands for in a placement: a piece index, DIGIT plus the digit's value, SLASH,
// or INVALID.
constexpr std::uint8_t DIGIT = 16;
constexpr std::uint8_t SLASH = 32;
constexpr std::uint8_t INVALID = 255;
constexpr auto PLACEMENT_BYTE = [] {
  std::array<std::uint8_t, 256> table = PIECE_OF_BYTE;
  for (std::uint8_t& entry : table) entry = entry == PIECE_NB ? INVALID : entry;
  for (unsigned digit = 0; digit <= 9; ++digit) table['0' + digit] = DIGIT + digit;
  table['/'] = SLASH;
  return table;
}();

// Reads the placement that starts at byte `pos` of the text and ends before the first white space,
// in one pass, rank 8 first, and moves `pos` to its end. Returns the bitboards, or an error
// message unless it describes exactly 8 ranks of 8 squares, each digit counting as that many
// empty squares; a character other than a piece letter, a digit or "/" is a fault wherever it
// stands, whatever the shape.
std::expected<Pieces, std::string> read_placement(std::string_view text, std::size_t& pos) {
  Pieces pieces{};
  unsigned ranks = 1;        // ranks begun so far
  unsigned squares = 0;      // squares described so far in the current rank
  unsigned bad_rank = 0;     // the first rank (8 = the first listed) not of 8 squares, or 0
  unsigned bad_squares = 0;  // the squares it describes
  for (; pos < text.size(); ++pos) {
    const unsigned kind = PLACEMENT_BYTE[static_cast<unsigned char>(text[pos])];
    if (kind < PIECE_NB) {
      // Only a placement of 8 ranks of 8 squares is kept, so no other square matters.
      if (squares < 8 && ranks <= 8) pieces[kind] |= square_bb((8 - ranks) * 8 + squares);
      ++squares;
    } else if (kind == SLASH) {
      if (squares != 8 && bad_rank == 0) {
        bad_rank = 9 - ranks;
        bad_squares = squares;
      }
      ++ranks;
      squares = 0;
    } else if (kind != INVALID) [[likely]] {
      squares += kind - DIGIT;
    } else if (white_space_size(text, pos) != 0) {
      break;
    } else {
      throw_invalid_piece();
    }
  }
  if (squares != 8 && bad_rank == 0) {
    bad_rank = 9 - ranks;
    bad_squares = squares;
  }
  if (ranks != 8) {
    return std::unexpected("Invalid piece placement: " + std::to_string(ranks) +
                           " ranks instead of 8");
  }
  if (bad_rank != 0) {
    return std::unexpected("Invalid piece placement: rank " + std::to_string(bad_rank) +
                           " describes " + std::to_string(bad_squares) + " squares instead of 8");
  }
  return pieces;
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
    const std::size_t piece = c.code < 0x80 ? piece_of_letter(static_cast<char>(c.code)) : PIECE_NB;
    if (piece == PIECE_NB) throw Fault("Invalid piece type");
    pieces[piece] |= square_bb(counter % 64);
    ++counter;
  }
  return pieces;
}

std::expected<Board, std::string> Board::from_fen(std::string_view fen) {
  std::size_t end = skip_white_space(fen, 0);
  if (end == fen.size()) throw Fault("FEN text is empty");
  std::expected<Pieces, std::string> pieces = read_placement(fen, end);
  if (!pieces) return std::unexpected(std::move(pieces.error()));

  WhiteSpaceFields fields(fen.substr(end));

  const auto required = [&fields](const char* name) {
    const std::string_view field = fields.next();
    if (field.empty()) throw Fault(std::string("FEN text has no ") + name + " field");
    return field;
  };

  const std::string_view side = required("side-to-move");
  std::uint64_t info = 0;
  if (side == "w") {
    info = WHITE_TO_MOVE;
  } else if (side != "b") {
    return std::unexpected("Invalid side-to-move");
  }

  for (const char c : required("castling")) {
    if (c == '-') break;
    switch (c) {
      case 'K': info |= CASTLE_WHITE_KING; break;
      case 'Q': info |= CASTLE_WHITE_QUEEN; break;
      case 'k': info |= CASTLE_BLACK_KING; break;
      case 'q': info |= CASTLE_BLACK_QUEEN; break;
      default: return std::unexpected("Invalid castling specifier");
    }
  }

  // Only the file letter is read: the rank of the target follows from the side to move.
  const std::string_view en_passant = required("en-passant");
  if (en_passant != "-") {
    const char letter = en_passant.front();
    if (letter < 'a' || letter > 'h') return std::unexpected("Invalid en-passant specifier");
    const unsigned first = (info & WHITE_TO_MOVE) ? EN_PASSANT_WHITE : EN_PASSANT_BLACK;
    info |= std::uint64_t{1} << (first + unsigned(letter - 'a'));
  }

  return Board(*pieces, info);
}

std::size_t Board::write_fen(char* out) const {
  // The letter of a square is that of the lowest piece index standing on it.
  std::array<char, SQUARE_NB> letters{};
  for (std::size_t piece = PIECE_NB; piece-- > 0;) {
    for (Bitboard b = pieces[piece]; b != 0;) letters[pop_lsb(b)] = PIECE_LETTERS[piece];
  }

  char* p = out;
  for (unsigned rank = 8; rank-- > 0;) {
    unsigned empty = 0;
    for (unsigned file = 0; file < 8; ++file) {
      const char letter = letters[rank * 8 + file];
      if (letter == 0) {
        ++empty;
        continue;
      }
      if (empty != 0) *p++ = static_cast<char>('0' + std::exchange(empty, 0));
      *p++ = letter;
    }
    if (empty != 0) *p++ = static_cast<char>('0' + empty);
    if (rank != 0) *p++ = '/';
  }

  const bool white = info & WHITE_TO_MOVE;
  *p++ = ' ';
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

std::string Board::to_fen() const {
  char text[MAX_FEN];
  return std::string(text, write_fen(text));
}

}  // namespace vorel
