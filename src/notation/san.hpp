#pragma once

// Standard algebraic notation (SAN): writing the SAN of a legal move and finding the legal move
// that a SAN text denotes. Legality comes from the move generator: its list of legal moves, or
// its trial of one candidate, which leaves the position exactly as it was.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "board/board.hpp"
#include "chess_move/chess_move.hpp"
#include "common/text.hpp"
#include "move_generator/move_generator.hpp"

namespace vorel {

// The longest SAN write_san produces: "Qa1xh8#" (a piece named by file and rank) or "exd8=Q#".
inline constexpr std::size_t MAX_SAN = 7;

// True for a king move from file e two files sideways: the way castling is written as a move.
constexpr bool is_castling(const Position& position, ChessMove move) {
  const Square from = move.from();
  const Square to = move.to();
  const Bitboard kings = position.pieces[WHITE_KING] | position.pieces[BLACK_KING];
  return has_square(kings, from) && castling_files(from, to) && rank_of(from) == rank_of(to);
}

// Returns the move of `legal` with the squares and promotion piece of `move`, whose special code
// may be 0 for every move but a promotion (as a parsed move text gives it), or nothing.
std::optional<ChessMove> find_legal(const MoveList& legal, ChessMove move);

// Writes the SAN of `move`, one of `legal`, the legal moves of `board` as MoveGenerator::moves
// lists them, into out (MAX_SAN bytes) and returns its length: "O-O", "O-O-O", pawn moves by
// their destination ("e4", "exd5", en passant "exd6", "e8=Q"), other pieces by their letter,
// then the file, the rank or both of the origin when another piece of the kind could go there
// too (file first), "x" for a capture, the destination; then "#" for checkmate or "+" for check.
std::size_t write_san(const MoveGenerator& generator, const Position& position,
                      const MoveList& legal, ChessMove move, char* out);

// Why a text names no move.
enum class SanError : std::uint8_t {
  INVALID,    // not a move in SAN
  ILLEGAL,    // no legal move matches it
  AMBIGUOUS,  // more than one legal move matches it
};

struct SanFailure {
  SanError kind;
  ChessMove first{};  // AMBIGUOUS: two of the moves it may mean
  ChessMove second{};
};

// Returns the legal move that `text` denotes on `board`. A text that is exactly a move text
// (ChessMove::read_plain: "g1f3", "e1g1" for castling, "e7e8q") and names a legal move is that
// move; any other is read as SAN. Read past: trailing "+", "#", "!" and "?" marks; "0-0" and
// "0-0-0" for castling; "x", "-" or ":" before the destination, whether or not the move
// captures; a promotion as "e8=Q", "e8Q" or with a lowercase letter; an origin written in full
// ("Ng1f3", "e2e4"). A side to move without a king is an internal fault.
std::expected<ChessMove, SanFailure> parse_san(const MoveGenerator& generator,
                                               const Position& position, std::string_view text);

// The move word no legal move has (a1 to a1): play_san's answer when there is none.
inline constexpr ChessMove NO_MOVE = ChessMove::unchecked(0, 0, 0);

// Plays on `position` the legal move that `text` denotes, as parse_san reads it, and returns it;
// when there is none, returns NO_MOVE with `failure` set to why, and leaves the position as it
// was. (A plain word, not a std::expected: the hot loop of game replay keeps it in a register.)
ChessMove play_san(const MoveGenerator& generator, Position& position, std::string_view text,
                   SanFailure& failure);

// Returns the message of a failed parse_san of `text` on `board`, naming the text and the
// position: "Illegal SAN: 'Nf6' is not a legal move in <FEN>".
std::string san_failure_message(const SanFailure& failure, std::string_view text,
                                const Position& board);

}  // namespace vorel
