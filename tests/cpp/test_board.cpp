#include <gtest/gtest.h>

#include <bit>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "move_generator/move_generator.hpp"
#include "test_support.hpp"

namespace vorel {
namespace {

using testing::board_from;
using testing::fault_message;
using testing::Snapshot;
using testing::sq;

constexpr const char* KIWIPETE = "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq -";

// The hash words agree with a from-scratch build, the info word keeps its unused bits clear, and
// every stack holds one value per record that names it.
void expect_consistent(const Board& board) {
  const Board scratch(board.pieces, board.info);
  EXPECT_EQ(board.zobrist.z_key, scratch.zobrist.z_key);
  EXPECT_EQ(board.zobrist.z_sum, scratch.zobrist.z_sum);
  EXPECT_EQ(board.info >> 21, 0u);
  if (!board.history) return;
  const auto& [pieces_stacks, move_stack] = *board.history;
  for (std::size_t piece = 0; piece < PIECE_NB; ++piece) {
    std::size_t records = 0;
    for (const MoveRecord& record : move_stack) records += (record.moved >> piece) & 1;
    EXPECT_EQ(pieces_stacks[piece].size(), records) << "piece " << piece;
  }
  for (const MoveRecord& record : move_stack) EXPECT_EQ(record.moved >> 12, 0);
}

// The lowest piece index on the square: the piece a move from there moves.
std::optional<std::size_t> piece_on(const Board& board, unsigned square) {
  for (std::size_t piece = 0; piece < PIECE_NB; ++piece) {
    if (has_square(board.pieces[piece], square)) return piece;
  }
  return std::nullopt;
}

bool reaches_last_rank(const Board& board, unsigned from, unsigned to) {
  const auto mover = piece_on(board, from);
  return mover && *mover % 6 == PAWN && (to / 8 == 0 || to / 8 == 7);
}

unsigned pick(Bitboard set, std::mt19937_64& rng) {
  for (auto n = rng() % unsigned(std::popcount(set)); n > 0; --n) set &= set - 1;
  return unsigned(std::countr_zero(set));
}

// Returns from and to squares of a move that no legal-move list holds but that making a move
// accepts, or nothing when the chosen kind does not apply to the position.
std::optional<std::pair<unsigned, unsigned>> quirky_move(const Board& board, std::mt19937_64& rng) {
  const Color us = board.side_to_move();
  const Bitboard own = side_mask(board.pieces, us);
  const Bitboard other = side_mask(board.pieces, ~us);
  const auto square = [&] { return unsigned(rng() % 64); };
  if (own == 0) return std::nullopt;
  switch (rng() % 5) {
    case 0:  // any piece to any square
      return std::pair{pick(own | other, rng), square()};
    case 1: {  // a king two files sideways, with or without a rook in the corner
      const Bitboard kings = board.pieces[WHITE_KING] | board.pieces[BLACK_KING];
      if (kings == 0) return std::nullopt;
      const unsigned from = pick(kings, rng);
      const int to_file = int(from % 8) + (rng() % 2 ? 2 : -2);
      if (to_file < 0 || to_file > 7) return std::nullopt;
      return std::pair{from, from - from % 8 + unsigned(to_file)};
    }
    case 2:  // onto a piece of its own colour
      return std::pair{pick(own, rng), pick(own, rng)};
    case 3: {  // a pawn changing file onto an empty square
      const Bitboard pawns = board.pieces[WHITE_PAWN] | board.pieces[BLACK_PAWN];
      if (pawns == 0) return std::nullopt;
      const unsigned from = pick(pawns, rng);
      const int f = int(from % 8) + (rng() % 2 ? 1 : -1);
      const int r = int(from / 8) + (*piece_on(board, from) == WHITE_PAWN ? 1 : -1);
      if (f < 0 || f > 7 || r < 0 || r > 7 || has_square(own | other, unsigned(r * 8 + f)))
        return std::nullopt;
      return std::pair{from, unsigned(r * 8 + f)};
    }
    default:  // a piece of the side not to move
      if (other == 0) return std::nullopt;
      return std::pair{pick(other, rng), square()};
  }
}

// Whether the generator can list moves: the side to move has a king and no square holds two
// pieces (moves onto own pieces leave both, and making a move then moves the lower index).
bool generatable(const Board& board) {
  int pieces = 0;
  for (const Bitboard b : board.pieces) pieces += std::popcount(b);
  return board.pieces[make_piece(board.side_to_move(), KING)] != 0 &&
         pieces == std::popcount(occupancy(board.pieces));
}

// Plays random legal and quirky moves, checking the board after every push, then takes them all
// back, checking that each pop restores exactly the state before the matching push.
int random_walk(const MoveGenerator& generator, std::string_view fen, unsigned seed, int plies) {
  std::mt19937_64 rng(seed);
  Board board = board_from(fen);
  std::vector<Snapshot> before;
  int refused = 0;
  for (int ply = 0; ply < plies && !::testing::Test::HasFailure(); ++ply) {
    std::optional<ChessMove> move;
    if (generatable(board) && rng() % 2 == 0) {
      MoveList legal;
      generator.moves(board, legal);
      if (!legal.empty()) move = legal[rng() % legal.size()];
    }
    if (!move) {
      const auto squares = quirky_move(board, rng);
      if (!squares) continue;
      move = ChessMove(std::uint16_t(squares->first), std::uint16_t(squares->second),
                       std::uint16_t(rng() % 8));
    }
    // A pawn reaching the last rank without a promotion code is refused before anything changes.
    if (reaches_last_rank(board, move->from(), move->to()) && move->special() < PROMOTE_KNIGHT) {
      const Snapshot untouched(board);
      EXPECT_EQ(fault_message([&] { board.push_move(*move); }),
                "Missing promotion piece for " + move->to_string());
      EXPECT_TRUE(Snapshot(board) == untouched);
      ++refused;
      move = ChessMove(move->from(), move->to(), std::uint16_t(PROMOTE_KNIGHT + rng() % 4));
    }
    SCOPED_TRACE(board.to_fen() + " + " + move->to_string() + ", seed " + std::to_string(seed));
    before.emplace_back(board);
    board.push_move(*move);
    expect_consistent(board);
  }
  while (!before.empty() && !::testing::Test::HasFailure()) {
    board.pop_move();
    EXPECT_TRUE(Snapshot(board) == before.back())
        << "after pop " << before.size() << ", seed " << seed;
    expect_consistent(board);
    before.pop_back();
  }
  return refused;
}

TEST(MakeUnmake, RandomSequencesKeepHashAndUndoExact) {
  const MoveGenerator generator;
  const char* positions[] = {
      DEFAULT_FEN.data(),
      KIWIPETE,
      "4k3/pppppppp/8/8/8/8/PPPPPPPP/4K3 w KQkq -",    // rights without rooks
      "r3k2r/1P4p1/8/3pP3/8/8/1p4P1/R3K2R w KQkq d6",  // promotions and en passant at hand
      "r3k2r/Pppp1ppp/1b3nbN/nP6/BBP1P3/q4N2/Pp1P2PP/R2Q1RK1 w kq -",
      "8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - -",
  };
  int refused = 0;
  for (const char* fen : positions) {
    for (unsigned seed = 0; seed < 30; ++seed) refused += random_walk(generator, fen, seed, 120);
  }
  EXPECT_GT(refused, 0) << "no pawn reached the last rank without a promotion code";
}

TEST(MakeUnmake, GameReachesTheSameStateAsItsFen) {
  Board board = board_from(DEFAULT_FEN);
  for (const char* text : {"e2e4", "e7e5", "g1f3", "b8c6", "f1c4", "g8f6", "e1g1"}) {
    board.push_move(*ChessMove::from_str(text));
  }
  const Board expected =
      board_from("r1bqkb1r/pppp1ppp/2n2n2/4p3/2B1P3/5N2/PPPP1PPP/RNBQ1RK1 b kq -");
  EXPECT_EQ(board.pieces, expected.pieces);
  EXPECT_EQ(board.info, expected.info);
  EXPECT_EQ(board.zobrist.z_key, expected.zobrist.z_key);
  EXPECT_EQ(board.zobrist.z_sum, expected.zobrist.z_sum);
}

TEST(MakeUnmake, PromotionWithoutPieceIsRefusedUntouched) {
  Board board = board_from("4k3/P7/8/8/8/8/7p/4K3 w - -");
  board.push_move(*ChessMove::from_str("e1d1"));
  board.push_move(*ChessMove::from_str("e8d8"));
  const Snapshot untouched(board);
  const std::pair<ChessMove, const char*> refused[] = {
      {ChessMove(sq("a7"), sq("a8"), ORDINARY), "Missing promotion piece for a7a8"},
      {ChessMove(sq("a7"), sq("b8"), EN_PASSANT), "Missing promotion piece for a7b8"},
      {ChessMove(sq("a7"), sq("a8"), CASTLING), "Missing promotion piece for a7a8"},
      {ChessMove(sq("h2"), sq("h1"), DOUBLE_PUSH),
       "Missing promotion piece for h2h1"},  // not its turn
  };
  for (const auto& [move, message] : refused) {
    EXPECT_EQ(fault_message([&] { board.push_move(move); }), message);
    EXPECT_TRUE(Snapshot(board) == untouched) << message;
  }
  board.push_move(*ChessMove::from_str("a7a8q"));
  EXPECT_EQ(board.to_fen(), "Q2k4/8/8/8/8/8/7p/3K4 b - -");
  board.pop_move();
  EXPECT_TRUE(Snapshot(board) == untouched);
}

TEST(MakeUnmake, NothingToMoveOrTakeBackIsAFault) {
  Board board = board_from(DEFAULT_FEN);
  const Snapshot untouched(board);
  EXPECT_NE(fault_message([&] { board.push_move(*ChessMove::from_str("e4e5")); }), "");
  EXPECT_TRUE(Snapshot(board) == untouched);
  EXPECT_NE(fault_message([&] { board.pop_move(); }), "");
  EXPECT_TRUE(Snapshot(board) == untouched);
}

TEST(Reflect, MatchesTheBoardOfTheMirroredFen) {
  const std::pair<const char*, const char*> cases[] = {
      {"rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b KQkq e3",
       "rnbqkbnr/pppp1ppp/8/4p3/8/8/PPPPPPPP/RNBQKBNR w KQkq e6"},
      {"r3k3/8/8/8/8/8/8/4K2R w Kq -", "4k2r/8/8/8/8/8/8/R3K3 b Qk -"},
      {KIWIPETE, "r3k2r/pppbbppp/2n2q1P/1P2p3/3pn3/BN2PNP1/P1PPQPB1/R3K2R b KQkq -"},
      {"r3k2r/Pppp1ppp/1b3nbN/nP6/BBP1P3/q4N2/Pp1P2PP/R2Q1RK1 w kq -",
       "r2q1rk1/pP1p2pp/Q4n2/bbp1p3/Np6/1B3NBn/pPPP1PPP/R3K2R b KQ -"},
  };
  for (const auto& [fen, mirrored] : cases) {
    Board board = board_from(fen);
    const Snapshot original(board);
    board.reflect();
    const Board expected = board_from(mirrored);
    EXPECT_EQ(board.to_fen(), mirrored);
    EXPECT_TRUE(Snapshot(board) == Snapshot(expected)) << fen;
    board.reflect();
    EXPECT_TRUE(Snapshot(board) == original) << fen;
  }
}

TEST(Reflect, DropsTheHistory) {
  Board board = board_from(DEFAULT_FEN);
  for (const char* text : {"e2e4", "e7e5", "g1f3"}) board.push_move(*ChessMove::from_str(text));
  board.reflect();
  // The history's storage is released.
  EXPECT_EQ(board.history, nullptr);
  const Board expected = board_from("rnbqkb1r/pppp1ppp/5n2/4p3/4P3/8/PPPP1PPP/RNBQKBNR w KQkq -");
  EXPECT_TRUE(Snapshot(board) == Snapshot(expected));
  EXPECT_NE(fault_message([&] { board.pop_move(); }), "");
}

}  // namespace
}  // namespace vorel

namespace vorel {
namespace {

// The FEN text square by square, rank 8 first: the letter of the lowest piece index on a square,
// digits for runs of empty squares.
std::string fen_square_by_square(const Board& board) {
  std::string text;
  for (int rank = 7; rank >= 0; --rank) {
    int empty = 0;
    for (int file = 0; file < 8; ++file) {
      const unsigned square = static_cast<unsigned>(rank * 8 + file);
      const auto piece =
          board.get_piece(static_cast<std::uint16_t>(square), 0, PIECE_NB, occupancy(board.pieces));
      if (!piece) {
        ++empty;
        continue;
      }
      if (empty != 0) text += std::to_string(std::exchange(empty, 0));
      text += "PNBRQKpnbrqk"[*piece];
    }
    if (empty != 0) text += std::to_string(empty);
    if (rank != 0) text += '/';
  }
  const std::uint64_t info = board.info;
  const bool white = info & WHITE_TO_MOVE;
  text += white ? " w " : " b ";
  for (unsigned bit = 1; bit <= 4; ++bit) {
    if (info >> bit & 1) text += "KQkq"[bit - 1];
  }
  if ((info & CASTLING_MASK) == 0) text += '-';
  const std::uint64_t files = info >> (white ? EN_PASSANT_WHITE : EN_PASSANT_BLACK) & 0xFF;
  text += files == 0 ? std::string(" -")
                     : std::string(" ") + char('a' + std::countr_zero(files)) + (white ? '6' : '3');
  return text;
}

TEST(Fen, WrittenTextAndLengthMatchASquareBySquareWriter) {
  // Random placements, pieces of several indices on one square included, random rights and flags.
  std::mt19937_64 rng(2024);
  for (int i = 0; i < 20000; ++i) {
    Pieces pieces{};
    for (Bitboard& b : pieces) b = rng() & rng() & rng() & rng();
    const std::uint64_t info = (rng() & (WHITE_TO_MOVE | CASTLING_MASK)) |
                               (i % 3 == 0 ? std::uint64_t{1} << (5 + rng() % 16) : 0);
    const Board board(pieces, info);
    EXPECT_EQ(board.to_fen(), fen_square_by_square(board));
    EXPECT_EQ(fen_length({pieces, info}), board.to_fen().size());
  }
}

}  // namespace
}  // namespace vorel
