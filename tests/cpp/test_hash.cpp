#include <gtest/gtest.h>

#include <cstdint>

#include "random/rng.hpp"
#include "test_support.hpp"
#include "zobrist/zobrist.hpp"

namespace vorel {
namespace {

using testing::board_from;
using testing::fault_message;

// The first entries of the 64-bit and the 16-bit table, and entry 768 of each.
constexpr std::uint64_t FIRST_64[] = {0x0, 0x6b864cbf6b864cbf, 0x18c7b858d8c7, 0x2965a2212965a221};
constexpr std::uint16_t FIRST_16[] = {0xaa9e, 0xbff4, 0xda16, 0xed7e};
constexpr std::uint64_t ENTRY_768_64 = 0x71ede8cd71ede8cd;
constexpr std::uint16_t ENTRY_768_16 = 0x66aa;

TEST(HashGenerator, FirstDrawsOfBothStreams) {
  Rng wide = Rng::new_deterministic(0, 8);
  EXPECT_EQ(wide.state, 9u);
  for (const std::uint64_t entry : FIRST_64) EXPECT_EQ(wide.random(), entry);
  Rng narrow = Rng::new_deterministic(404, 2);
  EXPECT_EQ(narrow.state, 0x6155577cdbecb307u);
  for (const std::uint16_t entry : FIRST_16)
    EXPECT_EQ(static_cast<std::uint16_t>(narrow.random()), entry);
}

TEST(HashTables, PinnedEntriesAndBounds) {
  const Board board = board_from(DEFAULT_FEN);
  const Zobrist64& z64 = *board.zobrist.z64;
  const Zobrist16& z16 = *board.zobrist.z16;
  for (std::size_t f = 0; f < 4; ++f) {
    EXPECT_EQ(z64.index(f), FIRST_64[f]);
    EXPECT_EQ(z16.index(f), FIRST_16[f]);
  }
  EXPECT_EQ(z64.index(768), ENTRY_768_64);
  EXPECT_EQ(z16.index(768), ENTRY_768_16);
  EXPECT_NO_THROW(z64.index(789));
  EXPECT_NE(fault_message([&] { z64.index(790); }), "");
  EXPECT_NE(fault_message([&] { z16.index(790); }), "");
}

TEST(HashWords, KnownPositions) {
  const Board start = board_from(DEFAULT_FEN);
  EXPECT_EQ(start.zobrist.z_key, 0x667057d6b81ebfb3u);
  EXPECT_EQ(start.zobrist.z_sum, 0xe592);

  const Board empty(Pieces{}, 0);
  EXPECT_EQ(empty.zobrist.z_key, 0u);
  EXPECT_EQ(empty.zobrist.z_sum, 0);

  // Feature 0 (white pawn on a1) is 0 in the 64-bit table only.
  Pieces pawn_a1{};
  pawn_a1[WHITE_PAWN] = 1;
  const Board pawn(pawn_a1, 0);
  EXPECT_EQ(pawn.zobrist.z_key, 0u);
  EXPECT_EQ(pawn.zobrist.z_sum, FIRST_16[0]);

  // Feature 768 is the side-to-move bit.
  const Board white_to_move(Pieces{}, WHITE_TO_MOVE);
  EXPECT_EQ(white_to_move.zobrist.z_key, ENTRY_768_64);
  EXPECT_EQ(white_to_move.zobrist.z_sum, ENTRY_768_16);
}

TEST(HashTables, SeparateBoardsReadIdenticalTables) {
  const Board a = board_from(DEFAULT_FEN);
  const Board b = board_from(DEFAULT_FEN);
  EXPECT_EQ(a.zobrist.z64->features, b.zobrist.z64->features);
  EXPECT_EQ(a.zobrist.z16->features, b.zobrist.z16->features);
  EXPECT_EQ(a.zobrist.z_key, b.zobrist.z_key);
  EXPECT_EQ(a.zobrist.z_sum, b.zobrist.z_sum);
}

TEST(HashTables, CopySharesTablesButKeepsItsOwnHashWords) {
  Board source = board_from(DEFAULT_FEN);
  source.push_move(*ChessMove::from_str("e2e4"));
  const std::uint64_t source_key = source.zobrist.z_key;
  const std::uint16_t source_sum = source.zobrist.z_sum;
  {
    Board copy = source;
    EXPECT_EQ(copy.zobrist.z64, source.zobrist.z64);
    EXPECT_EQ(copy.zobrist.z16, source.zobrist.z16);
    EXPECT_EQ(copy.zobrist.z_key, source_key);

    copy.push_move(*ChessMove::from_str("e7e5"));
    EXPECT_NE(copy.zobrist.z_key, source_key);
    EXPECT_EQ(source.zobrist.z_key, source_key);
    EXPECT_EQ(source.zobrist.z_sum, source_sum);

    // The copy takes back the move made before it was copied; the source keeps it.
    copy.pop_move();
    copy.pop_move();
    EXPECT_EQ(copy.zobrist.z_key, board_from(DEFAULT_FEN).zobrist.z_key);
    EXPECT_EQ(copy.to_fen(), std::string(DEFAULT_FEN));
    EXPECT_EQ(source.history_size(), 1u);
    EXPECT_EQ(source.zobrist.z_key, source_key);
  }
}

}  // namespace
}  // namespace vorel
