#include "notation/game_replay.hpp"

#include <algorithm>
#include <array>
#include <cctype>

#include "common/text.hpp"
#include "common/unicode.hpp"
#include "move_generator/game_state.hpp"
#include "notation/san.hpp"

namespace vorel {

namespace {

constexpr std::array<std::string_view, 4> RESULTS = {"1-0", "1/2-1/2", "0-1", "*"};
// The values of the Variant tag that name the game these rules are for.
constexpr std::array<std::string_view, 4> STANDARD_VARIANTS = {"", "standard", "chess",
                                                               "from position"};

constexpr std::string_view UNREADABLE_TAG = "Unreadable tag: a tag is [Name \"value\"] on one line";
constexpr std::string_view NULL_MOVE = "Null move: the main line must be moves of the game";
constexpr std::string_view UNCLOSED_COMMENT = "Unclosed comment: a '{' is not closed before ";
constexpr std::string_view UNCLOSED_VARIATION = "Unclosed variation: a '(' is not closed before ";

// The flags of status() that no game can start from, and how to say them.
constexpr std::array<std::pair<std::uint32_t, std::string_view>, 6> UNPLAYABLE = {{
    {STATUS_NO_WHITE_KING, "white has no king"},
    {STATUS_NO_BLACK_KING, "black has no king"},
    {STATUS_TOO_MANY_KINGS, "a side has more than one king"},
    {STATUS_PAWNS_ON_BACKRANK, "a pawn stands on the first or last rank"},
    {STATUS_OPPOSITE_CHECK, "the side not to move is in check"},
    {STATUS_OVERLAPPING_PIECES, "a square holds two pieces"},
}};

std::optional<GameResult> result_of(std::string_view text) {
  const auto found = std::ranges::find(RESULTS, text);
  if (found == RESULTS.end()) return std::nullopt;
  return static_cast<GameResult>(found - RESULTS.begin());
}

bool is_standard_variant(std::string_view name) {
  std::string lower(name);
  std::ranges::transform(lower, lower.begin(), [](unsigned char c) { return std::tolower(c); });
  return std::ranges::find(STANDARD_VARIANTS, lower) != STANDARD_VARIANTS.end();
}

// Returns the counters of the fifth and sixth fields of a FEN text, read as the pure-Python chess
// library reads them: digits after an optional "+", a move number of 0 taken as 1, and values too
// large to hold stopping at the largest. Those that are missing or not a whole number keep their
// usual start (0 and 1).
MoveCounters counters_of(std::string_view fen) {
  WhiteSpaceFields fields(fen);
  for (int skipped = 0; skipped < 4; ++skipped) fields.next();
  MoveCounters counters;
  const auto number = [](std::string_view field, std::uint32_t& value) {
    if (field.starts_with('+')) field.remove_prefix(1);
    if (field.empty() || !std::ranges::all_of(field, [](char c) { return c >= '0' && c <= '9'; }))
      return;
    std::uint64_t read = 0;
    for (const char c : field) read = std::min<std::uint64_t>(read * 10 + (c - '0'), UINT32_MAX);
    value = static_cast<std::uint32_t>(read);
  };
  number(fields.next(), counters.halfmove_clock);
  number(fields.next(), counters.fullmove);
  counters.fullmove = std::max<std::uint32_t>(counters.fullmove, 1);
  return counters;
}

// Returns a comment as readers show it: the one space after "{" and the one before "}" go.
std::string_view shown_comment(std::string_view text) {
  if (text.starts_with(' ')) text.remove_prefix(1);
  if (text.ends_with(' ')) text.remove_suffix(1);
  return text;
}

// Follows the tokens of one game, playing its main line.
class ReplayHandler {
 public:
  ReplayHandler(const MoveGenerator& generator, const GameText& game, ReplaySink& sink,
                Replay& replay)
      : generator_(generator), game_(game), sink_(sink), replay_(replay) {}

  void take(const GameToken& token) {
    // The two common kinds first, without the jump table of a switch.
    if (token.kind == GameEvent::MOVE) {
      move(token);
      return;
    }
    if (token.kind == GameEvent::COMMENT) {
      comment(token.text);
      return;
    }
    switch (token.kind) {
      case GameEvent::MOVE:
      case GameEvent::NULL_MOVE: move(token); break;
      case GameEvent::COMMENT: comment(token.text); break;
      case GameEvent::UNCLOSED_COMMENT: fail(joined({UNCLOSED_COMMENT, ended()}), "{"); break;
      case GameEvent::BAD_TAG: fail(UNREADABLE_TAG, joined({"[", token.text, "]"})); break;
      case GameEvent::UNCLOSED_TAG: fail(UNREADABLE_TAG, joined({"[", token.text})); break;
      case GameEvent::RESULT: result_token_ = result_of(token.text); break;
    }
  }

  // Ends the game: the start is set up even without moves, and the result decided.
  void end() {
    start();
    if (game_.open_variations > 0) fail(joined({UNCLOSED_VARIATION, ended()}), "(");
    if (result_token_) {
      replay_.result = *result_token_;
    } else {
      for (const auto& [name, value] : game_.tags) {
        if (name == "Result") replay_.result = result_of(value).value_or(replay_.result);
      }
    }
  }

 private:
  // What ended the game, as error messages name it.
  std::string_view ended() const {
    return game_.end == GameEnd::TAG ? "the next game's tags" : "the end of the input";
  }

  void move(const GameToken& token) {
    if (failed_) return;
    if (token.kind == GameEvent::NULL_MOVE) {
      fail(NULL_MOVE, token.text);
      return;
    }
    start();
    if (failed_) return;
    const Position before = position_;
    SanFailure failure;
    const ChessMove move = play_san(generator_, position_, token.text, failure);
    if (move == NO_MOVE) {
      fail(san_failure_message(failure, utf8_prefix(token.text, MAX_TOKEN), position_), token.text);
      return;
    }
    sink_.move(before, counters_, move);
    // The half-move clock starts again after a pawn move or a capture.
    const Color us = before.side_to_move();
    const bool capture =
        has_square(side_mask(before.pieces, ~us), move.to()) || move.special() == EN_PASSANT;
    if (has_square(before.pieces[make_piece(us, PAWN)], move.from()) || capture) {
      counters_.halfmove_clock = 0;
    } else {
      counters_.halfmove_clock += counters_.halfmove_clock < UINT32_MAX;
    }
    if (position_.side_to_move() == WHITE) counters_.fullmove += counters_.fullmove < UINT32_MAX;
    ++replay_.moves;
  }

  void comment(std::string_view comment) {
    if (failed_ || replay_.moves == 0) return;
    const std::string_view text = shown_comment(comment);
    if (!text.empty()) sink_.comment(text);
  }

  void fail(std::string_view error, std::string_view token) {
    if (failed_) return;
    failed_ = true;
    replay_.error = error;
    replay_.token = utf8_prefix(token, MAX_TOKEN);
  }

  // Sets up the position from the tags, once, before the first move.
  void start() {
    if (started_) return;
    started_ = true;
    const std::string_view* fen = nullptr;
    const std::string_view* variant = nullptr;
    for (const auto& [name, value] : game_.tags) {
      if (name == "FEN") fen = &value;
      if (name == "Variant") variant = &value;
    }
    replay_.fen = fen != nullptr ? *fen : DEFAULT_FEN;
    if (variant != nullptr && !is_standard_variant(*variant)) {
      fail("Unsupported variant: only standard chess is read", *variant);
      return;
    }
    if (fen == nullptr) {
      static const Position standard = *read_fen(DEFAULT_FEN);
      position_ = standard;
    } else {
      const std::expected<Position, std::string> start = game_start(generator_, *fen);
      if (!start) {
        fail(joined({"Invalid FEN tag: ", start.error()}), fen->empty() ? "[FEN \"\"]" : *fen);
        return;
      }
      position_ = *start;
      counters_ = counters_of(*fen);
      replay_.fen = position_.to_fen();
    }
  }

  const MoveGenerator& generator_;
  const GameText& game_;
  ReplaySink& sink_;
  Replay& replay_;
  Position position_{};
  MoveCounters counters_;
  std::optional<GameResult> result_token_;
  bool started_ = false;
  bool failed_ = false;
};

}  // namespace

std::string_view result_text(GameResult result) {
  return RESULTS[static_cast<std::size_t>(result)];
}

std::expected<Position, std::string> game_start(const MoveGenerator& generator,
                                                std::string_view fen) {
  std::expected<Position, FenError> read = read_fen(fen);
  if (!read) return std::unexpected(std::move(read.error().message));
  Position position = *read;
  const std::uint32_t flags = status(generator, position);
  std::string reasons;
  for (const auto& [flag, reason] : UNPLAYABLE) {
    if ((flags & flag) != 0) reasons += joined({reasons.empty() ? "" : "; ", reason});
  }
  if (!reasons.empty()) return std::unexpected(reasons);
  // Castling rights without their king and rook on the home squares, and an en-passant file
  // that the position cannot use, are dropped.
  position.info =
      (position.info & ~CASTLING_MASK) | standing_castling_rights(position.pieces, position.info);
  if ((flags & STATUS_INVALID_EP_SQUARE) != 0) position.info &= ~EN_PASSANT_MASK;
  return position;
}

Replay replay_game(const MoveGenerator& generator, const GameText& game, ReplaySink& sink) {
  Replay replay;
  ReplayHandler handler(generator, game, sink, replay);
  if (!game.failure.empty()) {
    replay.error = game.failure;
    replay.token = game.failure_token;
    return replay;
  }
  for (const GameToken& token : game.tokens) handler.take(token);
  handler.end();
  return replay;
}

}  // namespace vorel
