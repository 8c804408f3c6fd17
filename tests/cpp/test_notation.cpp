#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "common/text.hpp"
#include "common/unicode.hpp"
#include "move_generator/move_generator.hpp"
#include "notation/game_replay.hpp"
#include "notation/san.hpp"
#include "test_support.hpp"

namespace vorel {
namespace {

using testing::board_from;
using testing::Snapshot;

const MoveGenerator& generator() {
  static const MoveGenerator instance;
  return instance;
}

// Kiwipete (castling both ways, pins, en passant after a double step), promotions with checks,
// and knights and rooks that need their origin named.
constexpr std::string_view POSITIONS[] = {
    "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq -",
    "n1n5/PPPk4/8/8/8/8/4Kppp/5N1N b - -",
    "1k6/8/8/2N1N3/R6R/2N1N3/8/1K6 w - -",
};

// The generator's own words come back from their SAN, special codes included, and both
// directions leave the board bit for bit as it was; also one ply deeper.
TEST(Notation, EveryLegalMoveComesBackFromItsSan) {
  std::size_t tried = 0;
  for (const std::string_view fen : POSITIONS) {
    Board root = board_from(fen);
    MoveList first;
    generator().moves(root, first);
    for (const ChessMove reply : first) {
      for (const bool deeper : {false, true}) {
        if (deeper) root.push_move(reply);
        const Snapshot before(root);
        MoveList legal;
        generator().moves(root, legal);
        for (const ChessMove move : legal) {
          char text[MAX_SAN];
          const std::string san(text, write_san(generator(), root, legal, move, text));
          const auto parsed = parse_san(generator(), root, san);
          ASSERT_TRUE(parsed.has_value()) << fen << " " << san;
          EXPECT_EQ(parsed->data, move.data) << fen << " " << san;
          ++tried;
        }
        EXPECT_TRUE(Snapshot(root) == before) << fen;
        if (deeper) root.pop_move();
      }
    }
  }
  EXPECT_GT(tried, 2000u);
}

// Keeps the moves of a game.
struct Moves : ReplaySink {
  std::vector<ChessMove> moves;
  void move(const Position&, const MoveCounters&, ChessMove move) override {
    moves.push_back(move);
  }
  void comment(std::string_view) override {}
};

// Returns every game of `text` as the reader gives it when fed chunks of `step` bytes.
std::vector<std::string> games_in_chunks(std::string_view text, std::size_t step) {
  std::vector<std::string> games;
  testing::split_games(
      text, [&] { return step; },
      [&](const GameText& game) {
        Moves sink;
        const Replay replay = replay_game(generator(), game, sink);
        std::string summary =
            joined({std::to_string(game.line), " ", replay.fen, " ", result_text(replay.result),
                    " ", replay.error, "|", replay.token});
        for (const auto& [name, value] : game.tags) summary += joined({" ", name, "=", value});
        for (const ChessMove move : sink.moves) summary += joined({" ", move.to_string()});
        games.push_back(summary);
      });
  return games;
}

// A chunk may end anywhere: in a token, a tag, a comment, an escape line or the byte-order mark.
TEST(Notation, GamesDoNotDependOnWhereChunksEnd) {
  constexpr std::string_view TEXT =
      "\xEF\xBB\xBF[Event \"A \\\"quoted\\\" name\"]\n[Site \"Z\xC3\xBCrich\"]\n\n"
      "1. e4 {a comment\nover two lines} e5 (1... c5 2. Nf3 (2. c3) d6) 2. Nf3 $1 Nc6!? ; rest\n"
      "% escape line\n3. Bb5 a6 4. Bxc6 dxc6 5. O-O 1-0\n\n"
      "[FEN \"4k3/P7/8/8/8/8/8/4K3 w - - 0 1\"]\n1. a8=Q+ Kd7 2. Qb7+ *\n"
      "1. d4 d5 2. Bf4 c5 3. e3 Qb6 4. Nc3 Qxb2 5. Ke2 0-1\n1. e4 e5 2. Ke3 *\n1. f3";
  const std::vector<std::string> whole = games_in_chunks(TEXT, TEXT.size());
  ASSERT_EQ(whole.size(), 5u);
  EXPECT_EQ(whole[0],
            "1 rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 1-0 | Event=A \"quoted\" "
            "name Site=Z\xC3\xBCrich e2e4 e7e5 g1f3 b8c6 f1b5 a7a6 b5c6 d7c6 e1g1");
  EXPECT_EQ(whole[1].substr(0, 30), "9 4k3/P7/8/8/8/8/8/4K3 w - - *");
  EXPECT_NE(whole[3].find("Illegal SAN: 'Ke3'"), std::string::npos);
  for (std::size_t step = 1; step < 24; ++step) EXPECT_EQ(games_in_chunks(TEXT, step), whole);
}

// Games longer than the splitter's read size, which it scans again only once their bytes have
// doubled, come out as they do from the whole text: a long variation over many lines, a long
// comment left open before a tag line, and short games around them.
TEST(Notation, LongGamesDoNotDependOnWhereChunksEnd) {
  std::string text = "[Event \"long\"]\n\n1. e4 (";
  for (int i = 0; i < 20000; ++i) text += " 1. d4 d5 2. c4\n";
  text += ") e5 2. Nf3 *\n1. d4 *\n[Event \"open\"]\n1. c4 {";
  for (int i = 0; i < 20000; ++i) text += " [%clk 0:00:01] more\n";
  text += "[Event \"after\"]\n1. e4 e5 1-0\n1. f4";
  const std::vector<std::string> whole = games_in_chunks(text, text.size());
  ASSERT_EQ(whole.size(), 5u);
  EXPECT_NE(whole[0].find("e2e4 e7e5 g1f3"), std::string::npos);
  EXPECT_NE(whole[2].find("Unclosed comment"), std::string::npos);
  EXPECT_NE(whole[3].find("Event=after e2e4 e7e5"), std::string::npos);
  for (const std::size_t step : {1000u, 4093u, 65536u, 65537u, 200000u})
    EXPECT_EQ(games_in_chunks(text, step), whole) << step;
}

// Returns the text with every LF replaced by `line_end`.
std::string with_line_ends(std::string_view text, std::string_view line_end) {
  std::string out;
  for (const char c : text) {
    if (c == '\n') {
      out += line_end;
    } else {
      out += c;
    }
  }
  return out;
}

// CR, LF and CR LF end lines alike, also when a CR LF is split between two chunks.
TEST(Notation, LineEndsAreAlike) {
  constexpr std::string_view TEXT =
      "[Event \"a\"]\n\n1. e4 ; to the end of the line\n% an escape line\n1... e5 {over\ntwo} "
      "(1... c5\n[Event \"b\"]\n1. d4 *\n";
  const std::vector<std::string> whole = games_in_chunks(TEXT, TEXT.size());
  ASSERT_EQ(whole.size(), 2u);
  EXPECT_EQ(whole[1], std::string("7 ") + std::string(DEFAULT_FEN) + " * | Event=b d2d4");
  for (const std::string_view line_end : {"\r", "\r\n"}) {
    const std::string text = with_line_ends(TEXT, line_end);
    for (std::size_t step = 1; step < 12; ++step)
      EXPECT_EQ(games_in_chunks(text, step), whole) << step;
  }
}

// A tag at the start of a line ends a comment or variation left open, whatever chunk the "["
// and the byte after it come in; "[%" and "[ " do not. Byte-order marks of joined files are
// read past at the start of a line and at the end of a token.
TEST(Notation, TagLinesEndWhatWasLeftOpen) {
  constexpr std::string_view TEXT =
      "[Event \"a\"]\n1. e4 {open\n[%clk 0:01]\n [ no tag\n \xEF\xBB\xBF[Event \"b\"]\n"
      "1. d4 (1. c4\n  [Event \"c\"]\n1. Nf3 d5 2. e4 dxe4 3. d4 exd3e.p. *"
      "\xEF\xBB\xBF[Event \"d\"]\n1. g1f3 e7e5 (1... d5\n";
  const std::vector<std::string> whole = games_in_chunks(TEXT, TEXT.size());
  const std::string start(DEFAULT_FEN);
  ASSERT_EQ(whole.size(), 4u);
  EXPECT_EQ(whole[0], "1 " + start +
                          " * Unclosed comment: a '{' is not closed before the next game's "
                          "tags|{ Event=a e2e4");
  EXPECT_EQ(whole[1], "5 " + start +
                          " * Unclosed variation: a '(' is not closed before the next game's "
                          "tags|( Event=b d2d4");
  EXPECT_EQ(whole[2], "7 " + start + " * | Event=c g1f3 d7d5 e2e4 d5e4 d2d4 e4d3");
  EXPECT_EQ(whole[3], "8 " + start +
                          " * Unclosed variation: a '(' is not closed before the end of the "
                          "input|( Event=d g1f3 e7e5");
  for (std::size_t step = 1; step < 24; ++step) EXPECT_EQ(games_in_chunks(TEXT, step), whole);
}

TEST(Notation, Utf8PrefixCutsBetweenCharacters) {
  constexpr std::string_view TEXT = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80z";  // a é € 😀 z
  for (std::size_t size = 0; size <= TEXT.size(); ++size) {
    const std::string_view cut = utf8_prefix(TEXT, size);
    // The longest start of at most `size` bytes that is text.
    EXPECT_TRUE(is_utf8(cut)) << size;
    EXPECT_LE(cut.size(), size);
    for (std::size_t longer = cut.size() + 1; longer <= size; ++longer)
      EXPECT_FALSE(is_utf8(TEXT.substr(0, longer))) << size;
  }
  // Latin-1: every byte is a character.
  EXPECT_EQ(utf8_prefix("Z\xFCrich", 2), "Z\xFC");
}

// Positions a game cannot start from, and what a starting position gives up.
TEST(Notation, GameStartRefusesWhatNoGameReaches) {
  for (const std::string_view fen :
       {"8/8/8/8/8/8/8/4K3 w - -", "4k3/8/8/8/8/8/8/3KK3 w - -", "P3k3/8/8/8/8/8/8/4K3 w - -",
        "4k3/8/8/8/8/8/4R3/4K3 w - -", "4k3/8/8/8/8/8/8/4K3 white - -", "x"}) {
    EXPECT_FALSE(game_start(generator(), fen).has_value()) << fen;
  }
  // No rook on h1 for K, no pawn that has just advanced to e5 for the en-passant file.
  const auto start = game_start(generator(), "r3k2r/8/8/8/8/8/8/R3K1R1 w KQkq e6");
  ASSERT_TRUE(start.has_value());
  EXPECT_EQ(start->to_fen(), "r3k2r/8/8/8/8/8/8/R3K1R1 w Qkq -");
}

TEST(Notation, IsUtf8TellsWellFormedText) {
  for (const std::string_view good :
       {"", "abc", "Z\xC3\xBCrich", "\xE2\x82\xAC", "\xF0\x9F\x98\x80"})
    EXPECT_TRUE(is_utf8(good));
  // Latin-1, an overlong form, a surrogate, beyond U+10FFFF, a cut sequence.
  for (const std::string_view bad :
       {"Z\xFCrich", "\xC0\x80", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xE2\x82", "\x80"})
    EXPECT_FALSE(is_utf8(bad));
}

}  // namespace
}  // namespace vorel
