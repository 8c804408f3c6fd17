// The pin-and-check test against the legality filter as oracle: on every position, moves() gives
// exactly the list that making, testing and unmaking every candidate gives, count_moves() its
// length, and neither changes the board.

#include <gtest/gtest.h>

#include <bit>
#include <random>
#include <string>
#include <vector>

#include "move_generator/legality.hpp"
#include "test_support.hpp"

namespace vorel {
namespace {

using testing::board_from;
using testing::fault_message;
using testing::Snapshot;
using testing::sq;

std::vector<std::string> texts(const MoveList& moves) {
  std::vector<std::string> out;
  for (const ChessMove move : moves) out.push_back(move.to_string() + std::to_string(move.data));
  return out;
}

class Differential : public ::testing::Test {
 protected:
  // Compares both paths on the board and on its colour-mirrored twin.
  void check_both_colours(Board board) {
    check(board);
    board.reflect();
    check(board);
  }

  void check(Board& board) {
    SCOPED_TRACE(board.to_fen());
    const Snapshot before(board);
    MoveList oracle;
    const std::string fault = fault_message([&] { generator.moves_by_trial(board, oracle); });
    MoveList fast;
    EXPECT_EQ(fault_message([&] { generator.moves(board, fast); }), fault);
    std::size_t count = 0;
    EXPECT_EQ(fault_message([&] { count = count_moves(generator, board); }), fault);
    EXPECT_TRUE(Snapshot(board) == before);
    if (!fault.empty()) return;
    EXPECT_EQ(texts(fast), texts(oracle));
    EXPECT_EQ(count, oracle.size());
    ++checked;
    decided_by_pins += well_formed(board.pieces);
  }

  // Plays a random game from the board, checking every position on the way; moves other than
  // ordinary ones are preferred so that castling, en passant and promotions come up often.
  void walk(Board board, std::mt19937_64& rng, int plies) {
    for (int ply = 0; ply <= plies && !HasFailure(); ++ply) {
      check(board);
      if (!well_formed(board.pieces)) return;
      MoveList legal;
      generator.moves(board, legal);
      if (legal.empty()) return;
      ChessMove move = legal[rng() % legal.size()];
      for (int tries = 0; tries < 4 && move.special() == ORDINARY; ++tries)
        move = legal[rng() % legal.size()];
      board.push_move(move);
    }
  }

  const MoveGenerator generator;
  int checked = 0;
  int decided_by_pins = 0;
};

// The suite positions: castling both ways, en passant pins, promotions, discovered checks.
constexpr const char* SUITE[] = {
    "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq -",
    "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq -",
    "8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - -",
    "r3k2r/Pppp1ppp/1b3nbN/nP6/BBP1P3/q4N2/Pp1P2PP/R2Q1RK1 w kq -",
    "rnbq1k1r/pp1Pbppp/2p5/8/2B5/8/PPP1NnPP/RNBQK2R w KQ -",
    "r4rk1/1pp1qppp/p1np1n2/2b1p1B1/2B1P1b1/P1NP1N2/1PP1QPPP/R4RK1 w - -",
    "r3k2r/8/8/8/8/8/8/R3K2R w KQkq -",
    "k7/1p1p1p2/8/2P1P3/8/8/1P1P1P2/7K b - -",
};

// Built for the branches of the pin-and-check test; each is also checked mirrored.
constexpr const char* BUILT[] = {
    "4k3/4r3/8/8/8/8/4R3/4K3 w - -",    // rook pinned on its file keeps the file
    "4k3/8/8/8/8/1b6/2P5/3K4 w - -",    // pinned pawn takes its pinner, does not push
    "4k3/8/8/8/K2P3r/8/8/8 w - -",      // pawn pinned on its rank cannot push
    "q3k3/1P6/2K5/8/8/8/8/8 w - -",     // pinned pawn promotes by taking the pinner only
    "4k3/8/8/8/8/3n4/8/R3K2R w KQ -",   // knight check: no block, no castling
    "4k3/4r3/8/8/1b5Q/8/R7/4K3 w - -",  // double check: only the king moves
    "8/8/8/3kK3/8/8/8/8 w - -",         // the kings touch
    "4k2R/8/8/8/8/8/8/4K3 w - -",       // the side not to move is in check
    "8/8/8/KPp4r/8/8/8/4k3 w - c6",     // en passant uncovers the rank
    "4k3/1b6/8/3pP3/8/5K2/8/8 w - d6",  // the pawn taken en passant uncovers a diagonal
    "4k3/6b1/8/3pP3/8/2K5/8/8 w - d6",  // the capturing pawn is pinned off its diagonal
    "8/8/8/3pP3/4K3/8/8/7k w - d6",     // en passant takes the checking pawn
    "4k3/8/3n4/3pP3/8/8/8/4K3 w - d6",  // en passant word onto an enemy piece: listed twice
    "4k3/8/3N4/4P3/8/8/8/4K3 w - d6",   // en passant word onto an own piece, nothing to take
    "4k3/8/8/8/8/8/5r2/R3K2R w KQ -",   // castling through an attacked square
    "1r2k3/8/8/8/8/8/8/R3K2R w KQ -",   // b1 attacked: queen side still allowed
    "4k3/8/8/8/8/8/6p1/R3K2R w KQ -",   // no castling out of check
    "4k3/8/8/8/8/8/8/4K2b w KQ -",      // rights without rooks, an enemy bishop on h1
    "P3k3/8/8/8/8/8/8/p2PK3 w - -",     // pawns on their own first and last ranks
    "4k3/8/8/8/8/8/8/K3K3 w - -",       // two kings: the filter decides
    "4k3/8/8/8/8/8/8/8 w - -",          // no king to move: both fault
};

TEST_F(Differential, SuitePositionsAndRandomGamesFromThem) {
  for (const char* fen : SUITE) {
    check_both_colours(board_from(fen));
    for (unsigned seed = 0; seed < 24; ++seed) {
      std::mt19937_64 rng(seed);
      walk(board_from(fen), rng, 80);
    }
  }
  EXPECT_GT(decided_by_pins, 10000);
}

TEST_F(Differential, BuiltPositions) {
  std::mt19937_64 rng(1);
  for (const char* fen : BUILT) {
    check_both_colours(board_from(fen));
    walk(board_from(fen), rng, 6);
  }
  EXPECT_GT(decided_by_pins, 2 * 18);
}

// Returns a square of `set` (not empty) chosen at random.
unsigned pick(Bitboard set, std::mt19937_64& rng) {
  for (auto n = rng() % unsigned(std::popcount(set)); n > 0; --n) set &= set - 1;
  return unsigned(std::countr_zero(set));
}

// Returns a random well-formed placement: kings often at home and rooks in the corners, random
// rights and en passant flags whether or not they fit, usually with the pawn that just moved
// and one beside it, pawns on any rank.
Board random_board(std::mt19937_64& rng) {
  Pieces pieces{};
  const auto place = [&](std::size_t piece, unsigned square) {
    if (!has_square(occupancy(pieces), square)) pieces[piece] |= square_bb(square);
  };
  place(WHITE_KING, rng() % 2 ? sq("e1") : pick(~Bitboard{0}, rng));
  place(BLACK_KING, rng() % 2 ? sq("e8") : pick(~occupancy(pieces), rng));
  if (pieces[BLACK_KING] == 0) place(BLACK_KING, pick(~occupancy(pieces), rng));
  for (const unsigned corner : {sq("a1"), sq("h1"), sq("a8"), sq("h8")}) {
    if (rng() % 2) place(corner < 8 ? WHITE_ROOK : BLACK_ROOK, corner);
  }
  const bool white = rng() % 2;
  std::uint64_t info = white | (rng() & CASTLING_MASK);
  if (rng() % 2) {
    const unsigned file = unsigned(rng() % 8), rank = white ? 4 : 3;
    info |= std::uint64_t{1} << ((white ? EN_PASSANT_WHITE : EN_PASSANT_BLACK) + file);
    if (rng() % 4) place(white ? BLACK_PAWN : WHITE_PAWN, rank * 8 + file);
    const unsigned beside = rank * 8 + (file == 0 || (file < 7 && rng() % 2) ? file + 1 : file - 1);
    if (rng() % 4) place(white ? WHITE_PAWN : BLACK_PAWN, beside);
  }
  for (auto extra = rng() % 14; extra > 0; --extra) {
    place(make_piece(rng() % 2 ? WHITE : BLACK, rng() % 5), pick(~occupancy(pieces), rng));
  }
  return Board(pieces, info);
}

TEST_F(Differential, RandomPlacementsAndGamesFromThem) {
  std::mt19937_64 rng(2024);
  for (int i = 0; i < 6000 && !HasFailure(); ++i) {
    const Board board = random_board(rng);
    check_both_colours(board);
    walk(board, rng, 6);
  }
  EXPECT_GT(decided_by_pins, 40000);
}

// With a second piece on an occupied square the filter decides alone.
TEST_F(Differential, SharedSquaresFallBackToTheFilter) {
  std::mt19937_64 rng(7);
  for (int i = 0; i < 2000; ++i) {
    Board board = random_board(rng);
    const unsigned square = pick(occupancy(board.pieces), rng);
    const std::size_t piece = rng() % PIECE_NB;
    if (has_square(board.pieces[piece], square)) continue;
    board.pieces[piece] |= square_bb(square);
    check_both_colours(board);
  }
  EXPECT_GT(checked, 3000);
  EXPECT_EQ(decided_by_pins, 0);
}

}  // namespace
}  // namespace vorel
