#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "move_generator/move_generator.hpp"
#include "test_support.hpp"

namespace vorel {
namespace {

using testing::board_from;
using testing::Snapshot;

// A known position and its leaf counts of the legal-move tree, from depth 1 up.
struct PerftCase {
  std::string fen;
  std::vector<std::uint64_t> counts;
};

std::string trimmed(const std::string& text) {
  const auto first = text.find_first_not_of(' ');
  const auto last = text.find_last_not_of(' ');
  return first == std::string::npos ? "" : text.substr(first, last - first + 1);
}

// Returns the position of that name from the data file the Python perft reads too, one a line:
// name; FEN; counts.
PerftCase known_position(std::string_view name) {
  std::ifstream data(VOREL_PERFT_DATA);
  for (std::string line; std::getline(data, line);) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    std::string key, fen, counts;
    std::getline(fields, key, ';');
    std::getline(fields, fen, ';');
    std::getline(fields, counts);
    if (trimmed(key) != name) continue;
    PerftCase found{trimmed(fen), {}};
    std::istringstream numbers(counts);
    for (std::uint64_t count = 0; numbers >> count;) found.counts.push_back(count);
    return found;
  }
  throw std::runtime_error("no perft position named " + std::string(name) + " in " +
                           VOREL_PERFT_DATA);
}

// Counts above this take seconds each and run under the DeepPerft name.
constexpr std::uint64_t DEEP = 50'000'000;

// Checks the counts of the given depths (all depths whose count is not deep, or one deep
// depth) and that perft hands the board back exactly as it got it.
void expect_counts(std::string_view name, bool deep) {
  static const MoveGenerator generator;
  const PerftCase c = known_position(name);
  Board board = board_from(c.fen);
  const Snapshot before(board);
  unsigned checked = 0;
  for (unsigned depth = 1; depth <= c.counts.size(); ++depth) {
    const std::uint64_t expected = c.counts[depth - 1];
    if ((expected > DEEP) != deep) continue;
    EXPECT_EQ(perft(generator, board, depth), expected) << c.fen << " depth " << depth;
    EXPECT_TRUE(Snapshot(board) == before) << c.fen << " depth " << depth;
    ++checked;
  }
  EXPECT_GT(checked, 0u) << name << " has no " << (deep ? "deep" : "shallow") << " count";
}

TEST(Perft, StartPosition) { expect_counts("start", false); }
TEST(Perft, Kiwipete) { expect_counts("kiwipete", false); }
TEST(Perft, RookEndgame) { expect_counts("endgame", false); }
TEST(Perft, Promotions) { expect_counts("promotions", false); }
TEST(Perft, PromotionsMirrored) { expect_counts("mirrored", false); }
TEST(Perft, DiscoveredChecks) { expect_counts("talkchess", false); }
TEST(Perft, Middlegame) { expect_counts("middlegame", false); }

TEST(Perft, DivideFollowsGenerationOrder) {
  const MoveGenerator generator;
  const PerftCase kiwipete = known_position("kiwipete");
  Board board = board_from(kiwipete.fen);
  const Snapshot before(board);
  MoveList moves;
  generator.moves(board, moves);
  const auto counts = perft_divide(generator, board, 3);
  ASSERT_EQ(counts.size(), moves.size());
  std::uint64_t total = 0;
  for (std::size_t i = 0; i < counts.size(); ++i) {
    EXPECT_EQ(counts[i].first, moves[i]);
    total += counts[i].second;
  }
  EXPECT_EQ(total, kiwipete.counts[2]);
  for (const auto& [move, count] : perft_divide(generator, board, 1)) EXPECT_EQ(count, 1u);
  EXPECT_TRUE(Snapshot(board) == before);
}

TEST(Perft, AFaultBelowTheRootLeavesTheBoardAsItWas) {
  // White takes the black king; black then has no king to move.
  const MoveGenerator generator;
  Board board = board_from("k7/8/8/8/8/8/8/R3K3 w - -");
  const Snapshot before(board);
  EXPECT_EQ(testing::fault_message([&] { perft(generator, board, 3); }),
            "The side to move has no king, so its legal moves are undefined");
  EXPECT_TRUE(Snapshot(board) == before);
}

TEST(DeepPerft, StartPosition) { expect_counts("start", true); }
TEST(DeepPerft, Kiwipete) { expect_counts("kiwipete", true); }
TEST(DeepPerft, DiscoveredChecks) { expect_counts("talkchess", true); }
TEST(DeepPerft, Middlegame) { expect_counts("middlegame", true); }

}  // namespace
}  // namespace vorel
