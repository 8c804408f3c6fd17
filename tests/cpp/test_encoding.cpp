#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <set>
#include <string_view>
#include <vector>

#include "encoding/policy.hpp"
#include "encoding/polyglot.hpp"
#include "encoding/side_view.hpp"
#include "move_generator/move_generator.hpp"
#include "test_support.hpp"

namespace vorel {
namespace {

using testing::board_from;

const MoveGenerator& shared_generator() {
  static const MoveGenerator generator;
  return generator;
}

// The key values published with the Polyglot book format, after each line of moves.
TEST(Polyglot, PublishedKeys) {
  struct Case {
    std::vector<std::string_view> moves;
    std::uint64_t key;
  };
  const std::array<Case, 9> cases = {{
      {{}, 0x463b96181691fc9cULL},
      {{"e2e4"}, 0x823c9b50fd114196ULL},
      {{"e2e4", "d7d5"}, 0x0756b94461c50fb0ULL},
      {{"e2e4", "d7d5", "e4e5"}, 0x662fafb965db29d4ULL},
      {{"e2e4", "d7d5", "e4e5", "f7f5"}, 0x22a48b5a8e47ff78ULL},
      {{"e2e4", "d7d5", "e4e5", "f7f5", "e1e2"}, 0x652a607ca3f242c1ULL},
      {{"e2e4", "d7d5", "e4e5", "f7f5", "e1e2", "e8f7"}, 0x00fdd303c946bdd9ULL},
      {{"a2a4", "b7b5", "h2h4", "b5b4", "c2c4"}, 0x3c8123ea7b067637ULL},
      {{"a2a4", "b7b5", "h2h4", "b5b4", "c2c4", "b4c3", "a1a3"}, 0x5c3f9b829b279560ULL},
  }};
  for (const Case& c : cases) {
    Board board = board_from(DEFAULT_FEN);
    for (const std::string_view move : c.moves) board.push_move(*ChessMove::from_str(move));
    EXPECT_EQ(polyglot_key(board), c.key) << board.to_fen();
  }
}

// Every legal move of every node of small trees: within a position each index is its own, the
// move of an index is the move, and the mask marks as many entries as there are moves. A move of
// Black has the index of its rank-mirrored twin of White.
TEST(Policy, IndicesOfLegalMovesRoundTrip) {
  constexpr std::array<std::string_view, 4> fens = {
      "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq -",
      "n1n5/PPPk4/8/8/8/8/4Kppp/5N1N b - -",
      "r3k2r/Pppp1ppp/1b3nbN/nP6/BBP1P3/q4N2/Pp1P2PP/R2Q1RK1 w kq -",
      "rnbq1k1r/pp1Pbppp/2p5/8/2B5/8/PPP1NnPP/RNBQK2R w KQ -",
  };
  std::size_t checked = 0;
  for (const std::string_view fen : fens) {
    Board root = board_from(fen);
    MoveList first;
    shared_generator().moves(root, first);
    std::vector<Board> nodes{root};
    for (const ChessMove move : first) {
      Board child = root;
      child.push_move(move);
      nodes.push_back(std::move(child));
    }
    for (Board& node : nodes) {
      MoveList legal;
      shared_generator().moves(node, legal);
      const Color us = node.side_to_move();
      for (const PolicyScheme scheme : {PolicyScheme::LC0, PolicyScheme::AZ}) {
        std::set<std::uint16_t> seen;
        for (const ChessMove move : legal) {
          const std::uint16_t index = policy_index(scheme, move, us);
          ASSERT_LT(index, policy_size(scheme)) << move.to_string();
          EXPECT_TRUE(seen.insert(index).second) << move.to_string();
          EXPECT_EQ(move_of_index(scheme, index, legal, us), move);
          const ChessMove twin =
              ChessMove::unchecked(move.from() ^ 56, move.to() ^ 56, move.special());
          EXPECT_EQ(policy_index(scheme, twin, ~us), index);
          ++checked;
        }
        std::vector<std::uint8_t> row(policy_size(scheme), 0);
        mark_legal_moves(scheme, legal, us, row.data());
        EXPECT_EQ(std::count(row.begin(), row.end(), 1), static_cast<long>(legal.size()));
        EXPECT_EQ(std::count(row.begin(), row.end(), 0),
                  static_cast<long>(row.size() - legal.size()));
      }
    }
  }
  EXPECT_GT(checked, 8000u);
}

TEST(SideView, BlackToMoveIsTheReflectedBoard) {
  Board board = board_from("r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R b KQkq -");
  const Pieces seen = side_view(board);
  board.reflect();
  EXPECT_EQ(seen, board.pieces);
  EXPECT_EQ(side_view(board), board.pieces);  // White to move now: as it stands
}

}  // namespace
}  // namespace vorel
