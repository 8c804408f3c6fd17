#include <gtest/gtest.h>

#include "move_generator/move_generator.hpp"
#include "test_support.hpp"

namespace vorel {
namespace {

using testing::board_from;
using testing::sq;

class SquareInCheck : public ::testing::Test {
 protected:
  // Whether the white square `square` is attacked by black in the position.
  bool white_square_attacked(const char* fen, const char* square) const {
    return generator.square_in_check(board_from(fen).pieces, sq(square), WHITE);
  }
  const MoveGenerator generator;
};

TEST_F(SquareInCheck, KnightsAndPawnsNextToTheKing) {
  EXPECT_FALSE(white_square_attacked("rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq -", "e1"));
  EXPECT_TRUE(
      white_square_attacked("rnbqkbnr/pppppppp/8/8/8/3n4/PPPPPPPP/RNBQKBNR w KQkq -", "e1"));
  EXPECT_TRUE(
      white_square_attacked("rnbqkbnr/pppppppp/8/8/8/5n2/PPPPPPPP/RNBQKBNR w KQkq -", "e1"));
  EXPECT_TRUE(white_square_attacked("rnbqkbnr/pppppppp/8/8/8/8/PPPpPPPP/RNBQKBNR w KQkq -", "e1"));
  EXPECT_TRUE(white_square_attacked("rnbqkbnr/pppppppp/8/8/8/8/PPPPPpPP/RNBQKBNR w KQkq -", "e1"));
  EXPECT_FALSE(white_square_attacked("rnbqkbnr/pppppppp/8/8/8/8/PPPPpPPP/RNBQKBNR w KQkq -", "e1"));
}

TEST_F(SquareInCheck, SlidersStopAtTheFirstPieceOfEitherColour) {
  EXPECT_TRUE(white_square_attacked("4r3/8/8/8/8/8/8/4K3 w - -", "e1"));
  EXPECT_FALSE(white_square_attacked("4r3/8/8/8/4P3/8/8/4K3 w - -", "e1"));
  EXPECT_FALSE(white_square_attacked("4r3/8/8/8/4p3/8/8/4K3 w - -", "e1"));
  EXPECT_TRUE(white_square_attacked("8/8/8/b7/8/8/8/4K3 w - -", "e1"));
  EXPECT_FALSE(white_square_attacked("8/8/8/b7/1P6/8/8/4K3 w - -", "e1"));
  EXPECT_FALSE(white_square_attacked("8/8/8/b7/8/2p5/8/4K3 w - -", "e1"));
  EXPECT_FALSE(white_square_attacked("8/8/8/b7/8/8/3N4/4K3 w - -", "e1"));
  // A queen counts as both kinds; a rook does not attack diagonally nor a bishop straight.
  EXPECT_TRUE(white_square_attacked("8/8/8/q7/8/8/8/4K3 w - -", "e1"));
  EXPECT_TRUE(white_square_attacked("4q3/8/8/8/8/8/8/4K3 w - -", "e1"));
  EXPECT_FALSE(white_square_attacked("8/8/8/r7/8/8/8/4K3 w - -", "e1"));
  EXPECT_FALSE(white_square_attacked("4b3/8/8/8/8/8/8/4K3 w - -", "e1"));
}

TEST_F(SquareInCheck, KingsAttackOnlyTheirNeighbours) {
  EXPECT_TRUE(white_square_attacked("8/8/8/8/8/8/4k3/4K3 w - -", "e1"));
  EXPECT_FALSE(white_square_attacked("8/8/8/8/8/4k3/8/4K3 w - -", "e1"));
}

TEST_F(SquareInCheck, PawnStepsDoNotWrapAcrossTheBoard) {
  // From a4 the step -9 would land on h2: rejected by the file test.
  EXPECT_FALSE(
      generator.square_in_check(board_from("8/8/8/8/8/8/7P/8 b - -").pieces, sq("a4"), BLACK));
  EXPECT_TRUE(
      generator.square_in_check(board_from("8/8/8/8/8/1P6/8/8 b - -").pieces, sq("a4"), BLACK));
  // Likewise a black pawn on a6 does not reach h4, but one on g5 does.
  EXPECT_FALSE(white_square_attacked("8/8/p7/8/8/8/8/8 w - -", "h4"));
  EXPECT_TRUE(white_square_attacked("8/8/8/6p1/8/8/8/8 w - -", "h4"));
}

}  // namespace
}  // namespace vorel
