#include <gtest/gtest.h>

#include <string>

#include "chess_move/chess_move.hpp"
#include "test_support.hpp"

namespace vorel {
namespace {

using testing::fault_message;

ChessMove word(std::uint16_t data) {
  ChessMove move;
  move.data = data;
  return move;
}

TEST(ChessMoveNew, ChecksFromThenToThenSpecial) {
  EXPECT_EQ(fault_message([] { (void)ChessMove(64, 64, 16); }), "Invalid FROM int");
  EXPECT_EQ(fault_message([] { (void)ChessMove(63, 64, 16); }), "Invalid TO int");
  EXPECT_EQ(fault_message([] { (void)ChessMove(63, 63, 16); }), "Invalid SPECIAL int");
  EXPECT_EQ(ChessMove(63, 63, 15).data, 0xffff);
  EXPECT_EQ(ChessMove(12, 28, 0).data, 0x70c);
}

TEST(ChessMoveText, PinnedWords) {
  EXPECT_EQ(ChessMove::from_str("e2e4")->data, 0x70c);
  EXPECT_EQ(word(0x70c).to_string(), "e2e4");
  EXPECT_EQ(ChessMove::from_str("e7e8q")->data, 0x7f34);
  EXPECT_EQ(ChessMove::from_str("e7e8Q")->data, 0x7f34);
  EXPECT_EQ(word(0x7f34).to_string(), "e7e8q");
  // Castling prints as the king's move; its text parses back with code 0.
  EXPECT_EQ(word(0x3184).to_string(), "e1g1");
  EXPECT_EQ(ChessMove::from_str("e1g1")->data, 0x184);
  EXPECT_EQ(ChessMove::from_str("\u3000 e2e4\t\n")->data, 0x70c);
}

TEST(ChessMoveText, EveryPrintableWordRoundTrips) {
  for (std::uint16_t from = 0; from < 64; ++from) {
    for (std::uint16_t to = 0; to < 64; ++to) {
      for (std::uint16_t code = 0; code < 8; ++code) {
        std::string text = {char('a' + from % 8), char('1' + from / 8), char('a' + to % 8),
                            char('1' + to / 8)};
        if (code >= PROMOTE_KNIGHT) text += "nbrq"[code - PROMOTE_KNIGHT];
        const ChessMove move(from, to, code);
        ASSERT_EQ(move.to_string(), text);
        const auto parsed = ChessMove::from_str(text);
        ASSERT_TRUE(parsed.has_value()) << text;
        EXPECT_EQ(parsed->from(), from);
        EXPECT_EQ(parsed->to(), to);
        EXPECT_EQ(parsed->special(), code >= PROMOTE_KNIGHT ? code : 0) << text;
      }
    }
  }
}

TEST(ChessMoveText, CodesAboveSevenHaveNoText) {
  for (std::uint16_t code = 8; code < 16; ++code) {
    EXPECT_NE(fault_message([&] { (void)ChessMove(12, 28, code).to_string(); }), "") << code;
  }
}

}  // namespace
}  // namespace vorel
