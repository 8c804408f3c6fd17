#include "notation/san.hpp"

#include <algorithm>
#include <bit>

namespace vorel {

namespace {

constexpr std::string_view PIECE_LETTERS = "PNBRQK";
constexpr std::string_view PROMOTION_LETTERS = "NBRQ";

constexpr Bitboard file_bb(unsigned file_index) { return FILE_A_SQUARES << file_index; }
constexpr Bitboard rank_bb(unsigned rank_index) { return RANK_1_SQUARES << (8 * rank_index); }
constexpr bool is_file(char c) { return c >= 'a' && c <= 'h'; }
constexpr bool is_rank(char c) { return c >= '1' && c <= '8'; }

// Returns the promotion code of a move word, 0 when it promotes nothing.
constexpr std::uint16_t promotion_code(ChessMove move) {
  return move.special() >= PROMOTE_KNIGHT ? move.special() : std::uint16_t{ORDINARY};
}

// True for two moves between the same squares with the same promotion piece.
constexpr bool same_move(ChessMove a, ChessMove b) {
  return a.from() == b.from() && a.to() == b.to() && promotion_code(a) == promotion_code(b);
}

// A SAN text taken apart.
struct SanText {
  std::size_t piece = PAWN;  // the moving piece's type
  unsigned castle = 0;       // castling: the king's destination file (FILE_G or FILE_C); else 0
  int from_file = -1;        // the origin's file or rank when the text gives it, else -1
  int from_rank = -1;
  unsigned to = 0;              // the destination square
  std::uint16_t promotion = 0;  // PROMOTE_KNIGHT ... PROMOTE_QUEEN, or 0
};

// Returns the parts of a SAN text, or nothing when it is not one.
std::optional<SanText> read_san(std::string_view text) {
  while (!text.empty() && std::string_view("+#!?").contains(text.back())) text.remove_suffix(1);
  if (text == "O-O" || text == "0-0") return SanText{.piece = KING, .castle = FILE_G};
  if (text == "O-O-O" || text == "0-0-0") return SanText{.piece = KING, .castle = FILE_C};
  SanText san;
  if (!text.empty() && PIECE_LETTERS.contains(text.front())) {
    san.piece = PIECE_LETTERS.find(text.front());  // "P" for a pawn is allowed too
    text.remove_prefix(1);
  }
  // A promotion letter follows the destination square, directly or after "=".
  if (text.size() >= 3) {
    const char letter = static_cast<char>(text.back() & ~0x20);  // either case
    const char before = text[text.size() - 2];
    if (PROMOTION_LETTERS.contains(letter) && (before == '=' || is_rank(before))) {
      san.promotion = static_cast<std::uint16_t>(PROMOTE_KNIGHT + PROMOTION_LETTERS.find(letter));
      text.remove_suffix(before == '=' ? 2 : 1);
    }
  }
  if (text.size() < 2 || !is_file(text[text.size() - 2]) || !is_rank(text.back()))
    return std::nullopt;
  san.to = static_cast<unsigned>((text.back() - '1') * 8 + (text[text.size() - 2] - 'a'));
  text.remove_suffix(2);
  if (!text.empty() && std::string_view("x:-").contains(text.back())) text.remove_suffix(1);
  if (!text.empty() && is_file(text.front())) {
    san.from_file = text.front() - 'a';
    text.remove_prefix(1);
  }
  if (!text.empty() && is_rank(text.front())) {
    san.from_rank = text.front() - '1';
    text.remove_prefix(1);
  }
  if (!text.empty()) return std::nullopt;
  if (san.piece == PAWN) {
    // A pawn is named by its file: without one, the pawn moves straight ahead.
    if (san.from_file < 0 && san.from_rank >= 0) return std::nullopt;
    if (san.from_file < 0)
      san.from_file = static_cast<int>(file(static_cast<std::uint16_t>(san.to)));
  } else if (san.promotion != 0) {
    return std::nullopt;
  }
  return san;
}

// Returns the squares from which a piece of the kind the SAN names, of the side to move (its
// pieces from `self`), reaches the SAN's destination by a move other than castling. Pawns push
// when the SAN gives the destination's file, and capture (en passant too) from the file it gives.
Bitboard origins(const MoveGenerator& generator, const Board& board, const SanText& san,
                 std::size_t self) {
  const Pieces& pieces = board.pieces;
  const bool white = self == WHITE_OFFSET;
  const Bitboard own = side_mask(pieces, self);
  const Bitboard occupied = own | side_mask(pieces, white ? BLACK_OFFSET : WHITE_OFFSET);
  const Bitboard mine = pieces[self + san.piece];
  const auto to = static_cast<std::uint16_t>(san.to);
  if (has_square(own, to)) return 0;
  switch (san.piece) {
    case KNIGHT: return KNIGHT_ATTACKS[to] & mine;
    case BISHOP: return generator.sliding_attacks(BISHOP_KIND, to, occupied) & mine;
    case ROOK: return generator.sliding_attacks(ROOK_KIND, to, occupied) & mine;
    case QUEEN:
      return (generator.sliding_attacks(ROOK_KIND, to, occupied) |
              generator.sliding_attacks(BISHOP_KIND, to, occupied)) &
             mine;
    case KING: return KING_ATTACKS[to] & mine;
    default: break;
  }
  if (static_cast<int>(file(to)) != san.from_file) {
    // Our pawns on the squares that a pawn of the other colour on `to` would attack.
    const unsigned group = white ? EN_PASSANT_WHITE : EN_PASSANT_BLACK;
    const bool en_passant = rank(to) == (white ? 5 : 2) && ((board.info >> (group + file(to))) & 1);
    if (!has_square(occupied, to) && !en_passant) return 0;
    return PAWN_ATTACKS[!white][to] & mine;
  }
  // A push: from the square behind, or over it from the starting rank.
  if (has_square(occupied, to) || rank(to) == (white ? 0 : 7)) return 0;
  const unsigned behind = white ? to - 8u : to + 8u;
  if (has_square(mine, behind)) return square_bb(behind);
  const unsigned start = white ? behind - 8u : behind + 8u;
  if (rank(to) == (white ? 3 : 4) && !has_square(occupied, behind) && has_square(mine, start))
    return square_bb(start);
  return 0;
}

// Returns the move word of a move that `origins` found, with the generator's special code.
ChessMove san_move(const Board& board, const SanText& san, unsigned from) {
  std::uint16_t code = ORDINARY;
  if (san.piece == PAWN) {
    const unsigned to = san.to;
    if (san.promotion != 0) {
      code = san.promotion;
    } else if (file(static_cast<std::uint16_t>(from)) != file(static_cast<std::uint16_t>(to)) &&
               !has_square(occupancy(board.pieces), to)) {
      code = EN_PASSANT;
    } else if (to == from + 16 || from == to + 16) {
      code = DOUBLE_PUSH;
    }
  }
  return ChessMove::unchecked(from, san.to, code);
}

// Returns the square of the king of the side `white` (1 = white), or nothing without one.
std::optional<unsigned> king_square(const Board& board, std::uint64_t white) {
  const Bitboard king = board.pieces[white ? WHITE_KING : BLACK_KING];
  if (king == 0) return std::nullopt;
  return static_cast<unsigned>(std::countr_zero(king));
}

}  // namespace

std::optional<ChessMove> read_move_text(std::string_view text) {
  if (text.size() != 4 && text.size() != 5) return std::nullopt;
  if (!is_file(text[0]) || !is_rank(text[1]) || !is_file(text[2]) || !is_rank(text[3]))
    return std::nullopt;
  std::uint16_t code = ORDINARY;
  if (text.size() == 5) {
    const std::size_t letter = PROMOTION_LETTERS.find(static_cast<char>(text[4] & ~0x20));
    if (letter == std::string_view::npos) return std::nullopt;
    code = static_cast<std::uint16_t>(PROMOTE_KNIGHT + letter);
  }
  const auto square = [&](std::size_t i) { return (text[i + 1] - '1') * 8 + (text[i] - 'a'); };
  return ChessMove::unchecked(square(0), square(2), code);
}

std::optional<ChessMove> find_legal(const MoveList& legal, ChessMove move) {
  const auto found =
      std::find_if(legal.begin(), legal.end(), [&](ChessMove m) { return same_move(m, move); });
  if (found == legal.end()) return std::nullopt;
  return *found;
}

std::size_t write_san(const MoveGenerator& generator, Board& board, const MoveList& legal,
                      ChessMove move, char* out) {
  char* end = out;
  const std::uint16_t from = move.from();
  const std::uint16_t to = move.to();
  const MoveEffect effect = board.effect_of(move);
  const std::size_t type = piece_type_of(effect.mover);
  const bool capture = effect.captured != NO_PIECE;
  if (type == KING && is_castling(board, move)) {
    end = std::ranges::copy(file(to) == FILE_G ? std::string_view("O-O") : "O-O-O", end).out;
  } else if (type == PAWN) {
    if (capture) {
      *end++ = static_cast<char>('a' + file(from));
      *end++ = 'x';
    }
    write_square(end, to);
    end += 2;
    if (effect.promoted != NO_PIECE) {
      *end++ = '=';
      *end++ = PROMOTION_LETTERS[move.special() - PROMOTE_KNIGHT];
    }
  } else {
    *end++ = PIECE_LETTERS[type];
    // The other pieces of the kind that may go to the same square decide what names the origin.
    Bitboard others = 0;
    for (const ChessMove other : legal) {
      if (other.to() == to && other.from() != from &&
          has_square(board.pieces[effect.mover], other.from()))
        others |= square_bb(other.from());
    }
    if (others != 0) {
      const bool by_rank = (others & file_bb(file(from))) != 0;
      const bool by_file = (others & rank_bb(rank(from))) != 0 || !by_rank;
      if (by_file) *end++ = static_cast<char>('a' + file(from));
      if (by_rank) *end++ = static_cast<char>('1' + rank(from));
    }
    if (capture) *end++ = 'x';
    write_square(end, to);
    end += 2;
  }
  const PlayedMove played(board, move);
  const std::uint64_t defender = board.to_move();
  const std::optional<unsigned> king = king_square(board, defender);
  if (king && generator.square_in_check(board, *king, defender)) {
    MoveList replies;
    generator.moves(board, replies);
    *end++ = replies.empty() ? '#' : '+';
  }
  return static_cast<std::size_t>(end - out);
}

std::expected<ChessMove, SanFailure> parse_san(const MoveGenerator& generator, Board& board,
                                               std::string_view text) {
  if (!king_square(board, board.to_move())) {
    throw Fault("The side to move has no king, so its legal moves are undefined");
  }
  if (const std::optional<ChessMove> coordinates = read_move_text(text)) {
    // Coordinate notation, as some tools write move text: the legal move between the squares.
    MoveList legal;
    generator.moves(board, legal);
    if (const std::optional<ChessMove> move = find_legal(legal, *coordinates)) return *move;
  }
  const std::optional<SanText> san = read_san(text);
  if (!san) return std::unexpected(SanFailure{SanError::INVALID});
  const bool white = board.to_move() == 1;
  const std::size_t self = white ? WHITE_OFFSET : BLACK_OFFSET;
  if (san->castle != 0) {
    // Castling as the generator lists it, with the king's path checked there.
    MoveList pseudo;
    generator.pseudo_moves(board, pseudo);
    for (const ChessMove move : pseudo) {
      if (has_square(board.pieces[self + KING], move.from()) && is_castling(board, move) &&
          file(move.to()) == san->castle && generator.trial_keeps(board, move))
        return move;
    }
    return std::unexpected(SanFailure{SanError::ILLEGAL});
  }
  // A pawn reaching the last rank names its promotion piece, and no other move names one.
  const bool last_rank = rank(static_cast<std::uint16_t>(san->to)) == (white ? 7 : 0);
  if ((san->piece == PAWN && last_rank) != (san->promotion != 0))
    return std::unexpected(SanFailure{SanError::ILLEGAL});
  std::optional<ChessMove> found;
  for (const unsigned from : get_bits(origins(generator, board, *san, self))) {
    if (san->from_file >= 0 &&
        static_cast<int>(file(static_cast<std::uint16_t>(from))) != san->from_file)
      continue;
    if (san->from_rank >= 0 &&
        static_cast<int>(rank(static_cast<std::uint16_t>(from))) != san->from_rank)
      continue;
    const ChessMove move = san_move(board, *san, from);
    if (!generator.trial_keeps(board, move)) continue;
    if (found) return std::unexpected(SanFailure{SanError::AMBIGUOUS, *found, move});
    found = move;
  }
  if (!found) return std::unexpected(SanFailure{SanError::ILLEGAL});
  return *found;
}

std::string san_failure_message(const SanFailure& failure, std::string_view text,
                                const Board& board) {
  switch (failure.kind) {
    case SanError::INVALID:
      return joined({"Invalid SAN: '", text, "' is not a move in standard algebraic notation"});
    case SanError::ILLEGAL:
      return joined({"Illegal SAN: '", text, "' is not a legal move in ", board.to_fen()});
    case SanError::AMBIGUOUS:
      return joined({"Ambiguous SAN: '", text, "' may be ", failure.first.to_string(), " or ",
                     failure.second.to_string(), " in ", board.to_fen()});
  }
  return {};
}

}  // namespace vorel
