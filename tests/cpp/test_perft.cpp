#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "move_generator/move_generator.hpp"
#include "test_support.hpp"

namespace vorel {
namespace {

using testing::board_from;
using testing::Snapshot;

// Leaf counts of the legal-move tree, from depth 1 up.
struct PerftCase {
  const char* fen;
  std::vector<std::uint64_t> counts;
};

const PerftCase START = {"rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq -",
                         {20, 400, 8902, 197281, 4865609, 119060324}};
const PerftCase KIWIPETE = {"r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq -",
                            {48, 2039, 97862, 4085603, 193690690}};
const PerftCase ENDGAME = {"8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - -",
                           {14, 191, 2812, 43238, 674624, 11030083}};
const PerftCase PROMOTIONS = {"r3k2r/Pppp1ppp/1b3nbN/nP6/BBP1P3/q4N2/Pp1P2PP/R2Q1RK1 w kq - 0 1",
                              {6, 264, 9467, 422333, 15833292}};
const PerftCase PROMOTIONS_MIRRORED = {
    "r2q1rk1/pP1p2pp/Q4n2/bbp1p3/Np6/1B3NBn/pPPP1PPP/R3K2R b KQ - 0 1",
    {6, 264, 9467, 422333, 15833292}};
const PerftCase DISCOVERED = {"rnbq1k1r/pp1Pbppp/2p5/8/2B5/8/PPP1NnPP/RNBQK2R w KQ - 1 8",
                              {44, 1486, 62379, 2103487, 89941194}};
const PerftCase MIDDLEGAME = {
    "r4rk1/1pp1qppp/p1np1n2/2b1p1B1/2B1P1b1/P1NP1N2/1PP1QPPP/R4RK1 w - - 0 10",
    {46, 2079, 89890, 3894594, 164075551}};

// Counts above this take seconds each and run under the DeepPerft name.
constexpr std::uint64_t DEEP = 50'000'000;

// Checks the counts of the given depths (all depths whose count is not deep, or one deep
// depth) and that perft hands the board back exactly as it got it.
void expect_counts(const PerftCase& c, bool deep) {
  static const MoveGenerator generator;
  Board board = board_from(c.fen);
  const Snapshot before(board);
  for (unsigned depth = 1; depth <= c.counts.size(); ++depth) {
    const std::uint64_t expected = c.counts[depth - 1];
    if ((expected > DEEP) != deep) continue;
    EXPECT_EQ(perft(generator, board, depth), expected) << c.fen << " depth " << depth;
    EXPECT_TRUE(Snapshot(board) == before) << c.fen << " depth " << depth;
  }
}

TEST(Perft, StartPosition) { expect_counts(START, false); }
TEST(Perft, Kiwipete) { expect_counts(KIWIPETE, false); }
TEST(Perft, RookEndgame) { expect_counts(ENDGAME, false); }
TEST(Perft, Promotions) { expect_counts(PROMOTIONS, false); }
TEST(Perft, PromotionsMirrored) { expect_counts(PROMOTIONS_MIRRORED, false); }
TEST(Perft, DiscoveredChecks) { expect_counts(DISCOVERED, false); }
TEST(Perft, Middlegame) { expect_counts(MIDDLEGAME, false); }

TEST(DeepPerft, StartPosition) { expect_counts(START, true); }
TEST(DeepPerft, Kiwipete) { expect_counts(KIWIPETE, true); }
TEST(DeepPerft, DiscoveredChecks) { expect_counts(DISCOVERED, true); }
TEST(DeepPerft, Middlegame) { expect_counts(MIDDLEGAME, true); }

}  // namespace
}  // namespace vorel
