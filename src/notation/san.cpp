#include "notation/san.hpp"

#include <algorithm>
#include <array>
#include <bit>

namespace vorel {

namespace {

// The white piece letters: SAN names a piece by its type.
constexpr std::string_view TYPE_LETTERS = PIECE_LETTERS.substr(0, PIECE_TYPE_NB);
constexpr std::string_view PROMOTION_LETTERS = "NBRQ";

constexpr bool is_file(char c) { return c >= 'a' && c <= 'h'; }
constexpr bool is_rank(char c) { return c >= '1' && c <= '8'; }

// True for two moves between the same squares with the same promotion piece.
constexpr bool same_move(ChessMove a, ChessMove b) {
  return a.from() == b.from() && a.to() == b.to() && a.promotion() == b.promotion();
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

constexpr bool is_mark(char c) { return c == '+' || c == '#' || c == '!' || c == '?'; }

// The piece type each letter names in SAN ("P" for a pawn too), PIECE_TYPE_NB for the others.
constexpr auto LETTER_TYPES = [] {
  std::array<std::uint8_t, 256> table{};
  table.fill(PIECE_TYPE_NB);
  for (std::size_t type = PAWN; type <= KING; ++type)
    table[static_cast<unsigned char>(TYPE_LETTERS[type])] = static_cast<std::uint8_t>(type);
  return table;
}();

// Returns the piece type a letter names in SAN, or nothing.
constexpr std::optional<std::size_t> type_letter(char c) {
  const std::size_t type = LETTER_TYPES[static_cast<unsigned char>(c)];
  if (type == PIECE_TYPE_NB) return std::nullopt;
  return type;
}

// Returns the parts of a SAN text, or nothing when it is not one.
std::optional<SanText> read_san(std::string_view text) {
  while (!text.empty() && is_mark(text.back())) text.remove_suffix(1);
  if (!text.empty() && (text.front() == 'O' || text.front() == '0')) {
    if (text == "O-O" || text == "0-0") return SanText{.piece = KING, .castle = FILE_G};
    if (text == "O-O-O" || text == "0-0-0") return SanText{.piece = KING, .castle = FILE_C};
  }
  SanText san;
  if (!text.empty()) {
    if (const std::optional<std::size_t> type = type_letter(text.front())) {
      san.piece = *type;
      text.remove_prefix(1);
    }
  }
  // A promotion letter follows the destination square, directly or after "=".
  if (text.size() >= 3) {
    const char before = text[text.size() - 2];
    const std::optional<std::size_t> type = type_letter(static_cast<char>(text.back() & ~0x20));
    if (type && *type >= KNIGHT && *type <= QUEEN && (before == '=' || is_rank(before))) {
      san.promotion = static_cast<std::uint16_t>(PROMOTE_KNIGHT + (*type - KNIGHT));
      text.remove_suffix(before == '=' ? 2 : 1);
    }
  }
  if (text.size() < 2 || !is_file(text[text.size() - 2]) || !is_rank(text.back()))
    return std::nullopt;
  san.to = make_square(static_cast<unsigned>(text[text.size() - 2] - 'a'),
                       static_cast<unsigned>(text.back() - '1'));
  text.remove_suffix(2);
  if (!text.empty() && (text.back() == 'x' || text.back() == ':' || text.back() == '-'))
    text.remove_suffix(1);
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
    if (san.from_file < 0) san.from_file = static_cast<int>(file_of(san.to));
  } else if (san.promotion != 0) {
    return std::nullopt;
  }
  return san;
}

// Returns the squares from which a piece of the type the SAN names, of the side to move Us,
// reaches the SAN's destination by a move other than castling: the attack rules read backward
// for the pieces; for pawns, pushes when the SAN gives the destination's file, and captures (en
// passant too) from the file it gives, by the generator's pawn rules.
template <Color Us>
Bitboard origins(const MoveGenerator& generator, const Position& position, const SanText& san) {
  const Pieces& pieces = position.pieces;
  const Bitboard own = side_mask(pieces, Us);
  const Bitboard occupied = own | side_mask(pieces, ~Us);
  const Bitboard mine = pieces[make_piece(Us, san.piece)];
  const Square to = san.to;
  if (has_square(own, to)) return 0;
  if (san.piece != PAWN) {
    // The steppers' ways of reaching the square without a branch on the type; a slider's ways
    // only for a slider, as looking them up costs a trip to memory.
    const Bitboard queens = pieces[make_piece(Us, QUEEN)];
    Bitboard reaching = (KNIGHT_ATTACKS[to] & pieces[make_piece(Us, KNIGHT)]) |
                        (KING_ATTACKS[to] & pieces[make_piece(Us, KING)]);
    if (san.piece != KNIGHT && san.piece != KING) {
      if (san.piece != BISHOP) {
        reaching |= generator.sliding_attacks(ROOK_KIND, to, occupied) &
                    (pieces[make_piece(Us, ROOK)] | queens);
      }
      if (san.piece != ROOK) {
        reaching |= generator.sliding_attacks(BISHOP_KIND, to, occupied) &
                    (pieces[make_piece(Us, BISHOP)] | queens);
      }
    }
    return reaching & mine;
  }
  const Bitboard target = square_bb(to);
  if (static_cast<int>(file_of(to)) != san.from_file) {
    // Our pawns on the squares that a pawn of the other colour on `to` would attack.
    if (!(target & (occupied | en_passant_targets<Us>(position.info)))) return 0;
    return PAWN_ATTACKS[~Us][to] & mine;
  }
  // A push: one step from the square behind, or two from the starting rank.
  if (pawn_pushes<Us>(mine, occupied) & target) return pawn_step<~Us>(target);
  if (pawn_double_pushes<Us>(mine, occupied) & target)
    return pawn_step<~Us>(pawn_step<~Us>(target));
  return 0;
}

// Returns the move word of a move that `origins` found, with the generator's special code.
ChessMove san_move(const Position& position, const SanText& san, Square from) {
  std::uint16_t code = ORDINARY;
  if (san.piece == PAWN) {
    const Square to = san.to;
    if (san.promotion != 0) {
      code = san.promotion;
    } else if (file_of(from) != file_of(to) && !has_square(occupancy(position.pieces), to)) {
      code = EN_PASSANT;
    } else if (to == from + 16 || from == to + 16) {
      code = DOUBLE_PUSH;
    }
  }
  return ChessMove::unchecked(from, san.to, code);
}

// Returns the square of the king of `color`, or nothing without one.
std::optional<Square> king_square(const Position& position, Color color) {
  const Bitboard king = position.pieces[make_piece(color, KING)];
  if (king == 0) return std::nullopt;
  return static_cast<Square>(std::countr_zero(king));
}

}  // namespace

std::optional<ChessMove> find_legal(const MoveList& legal, ChessMove move) {
  const auto found =
      std::find_if(legal.begin(), legal.end(), [&](ChessMove m) { return same_move(m, move); });
  if (found == legal.end()) return std::nullopt;
  return *found;
}

std::size_t write_san(const MoveGenerator& generator, const Position& position,
                      const MoveList& legal, ChessMove move, char* out) {
  char* end = out;
  const Square from = move.from();
  const Square to = move.to();
  const MoveEffect effect = position.effect_of(move);
  const std::size_t type = type_of(effect.mover);
  const bool capture = effect.captured != NO_PIECE;
  if (type == KING && is_castling(position, move)) {
    end = std::ranges::copy(file_of(to) == FILE_G ? std::string_view("O-O") : "O-O-O", end).out;
  } else if (type == PAWN) {
    if (capture) {
      *end++ = static_cast<char>('a' + file_of(from));
      *end++ = 'x';
    }
    write_square(end, to);
    end += 2;
    if (effect.promoted != NO_PIECE) {
      *end++ = '=';
      *end++ = PROMOTION_LETTERS[move.special() - PROMOTE_KNIGHT];
    }
  } else {
    *end++ = TYPE_LETTERS[type];
    // The other pieces of the kind that may go to the same square decide what names the origin.
    Bitboard others = 0;
    for (const ChessMove other : legal) {
      if (other.to() == to && other.from() != from &&
          has_square(position.pieces[effect.mover], other.from()))
        others |= square_bb(other.from());
    }
    if (others != 0) {
      const bool by_rank = (others & file_bb(file_of(from))) != 0;
      const bool by_file = (others & rank_bb(rank_of(from))) != 0 || !by_rank;
      if (by_file) *end++ = static_cast<char>('a' + file_of(from));
      if (by_rank) *end++ = static_cast<char>('1' + rank_of(from));
    }
    if (capture) *end++ = 'x';
    write_square(end, to);
    end += 2;
  }
  Position after = position;
  after.play(move);
  const Color defender = after.side_to_move();
  const std::optional<Square> king = king_square(after, defender);
  if (king && generator.square_in_check(after.pieces, *king, defender)) {
    MoveList replies;
    generator.moves(after, replies);
    *end++ = replies.empty() ? '#' : '+';
  }
  return static_cast<std::size_t>(end - out);
}

namespace {

// Plays the legal move the SAN denotes for the side to move Us and returns it, or returns
// NO_MOVE with `failure` set to why and the position as it was. A single candidate is played
// and tested; among several, each is tried and the one that is legal played.
template <Color Us>
ChessMove play_san_for(const MoveGenerator& generator, Position& position, const SanText& san,
                       SanFailure& failure) {
  constexpr ChessMove none = NO_MOVE;
  ChessMove move = NO_MOVE;
  if (san.castle != 0) {
    // Castling as the generator lists it.
    const unsigned side = san.castle == FILE_G ? KING_SIDE_CASTLE : QUEEN_SIDE_CASTLE;
    const Square king = make_square(FILE_E, relative_rank(Us, RANK_1));
    move = ChessMove::unchecked(king, make_square(san.castle, rank_of(king)), CASTLING);
    if (!(generator.castles<Us>(position, occupancy(position.pieces)) & side)) return none;
  } else {
    // A pawn reaching the last rank names its promotion piece, and no other move names one.
    const bool last_rank = has_square(PROMOTION_SQUARES<Us>, san.to);
    if ((san.piece == PAWN && last_rank) != (san.promotion != 0)) return none;
    Bitboard from_squares = origins<Us>(generator, position, san);
    if (san.from_file >= 0) from_squares &= file_bb(static_cast<unsigned>(san.from_file));
    if (san.from_rank >= 0) from_squares &= rank_bb(static_cast<unsigned>(san.from_rank));
    if (from_squares == 0) return none;
    if ((from_squares & (from_squares - 1)) == 0) {
      move = san_move(position, san, static_cast<Square>(std::countr_zero(from_squares)));
    } else {
      unsigned found = 0;
      for (const Square from : get_bits(from_squares)) {
        const ChessMove candidate = san_move(position, san, from);
        if (!generator.trial_keeps(position, candidate)) continue;
        if (found++ > 0) {
          failure = SanFailure{SanError::AMBIGUOUS, move, candidate};
          return none;
        }
        move = candidate;
      }
      if (found == 0) return none;
    }
  }
  const Position before = position;
  position.play(move);
  if (generator.mover_in_check(position)) {
    position = before;
    return none;
  }
  return move;
}

}  // namespace

ChessMove play_san(const MoveGenerator& generator, Position& position, std::string_view text,
                   SanFailure& failure) {
  const Color us = position.side_to_move();
  if (!king_square(position, us)) {
    throw Fault("The side to move has no king, so its legal moves are undefined");
  }
  // Marks after a move ("+", "#", "!", "?") are read past in coordinate notation too.
  std::string_view bare = text;
  while (!bare.empty() && is_mark(bare.back())) bare.remove_suffix(1);
  if (const std::optional<ChessMove> coordinates = ChessMove::read_plain(bare)) {
    // Coordinate notation, as some tools write move text: the legal move between the squares.
    MoveList legal;
    generator.moves(position, legal);
    if (const std::optional<ChessMove> move = find_legal(legal, *coordinates)) {
      position.play(*move);
      return *move;
    }
  }
  const std::optional<SanText> san = read_san(text);
  if (!san) {
    failure = SanFailure{SanError::INVALID};
    return NO_MOVE;
  }
  failure = SanFailure{SanError::ILLEGAL};
  return us == WHITE ? play_san_for<WHITE>(generator, position, *san, failure)
                     : play_san_for<BLACK>(generator, position, *san, failure);
}

std::expected<ChessMove, SanFailure> parse_san(const MoveGenerator& generator,
                                               const Position& position, std::string_view text) {
  Position after = position;
  SanFailure failure;
  const ChessMove move = play_san(generator, after, text, failure);
  if (move == NO_MOVE) return std::unexpected(failure);
  return move;
}

std::string san_failure_message(const SanFailure& failure, std::string_view text,
                                const Position& board) {
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
