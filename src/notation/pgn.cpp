#include "notation/pgn.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cctype>
#include <utility>

#include "move_generator/game_state.hpp"
#include "notation/san.hpp"

namespace vorel {

namespace {

constexpr std::string_view BYTE_ORDER_MARK = "\xEF\xBB\xBF";
constexpr std::string_view NO_RESULT = "*";
constexpr std::array<std::string_view, 4> RESULTS = {"1-0", "0-1", "1/2-1/2", NO_RESULT};
constexpr std::array<std::string_view, 4> NULL_MOVES = {"--", "Z0", "0000", "@@@@"};
// The values of the Variant tag that name the game these rules are for.
constexpr std::array<std::string_view, 4> STANDARD_VARIANTS = {"", "standard", "chess",
                                                               "from position"};

constexpr std::string_view UNREADABLE_TAG = "Unreadable tag: a tag is [Name \"value\"] on one line";

// White space and control bytes separate tokens and mean nothing else.
constexpr bool is_blank(char c) { return static_cast<unsigned char>(c) <= ' '; }

// Bytes that end a token.
constexpr bool ends_token(char c) {
  return is_blank(c) || std::string_view(".{}()[];$*\"<>").contains(c);
}

bool all_of(std::string_view text, std::string_view allowed) {
  return std::ranges::all_of(text, [&](char c) { return allowed.contains(c); });
}

bool is_standard_variant(std::string_view name) {
  std::string lower(name);
  std::ranges::transform(lower, lower.begin(), [](unsigned char c) { return std::tolower(c); });
  return std::ranges::find(STANDARD_VARIANTS, lower) != STANDARD_VARIANTS.end();
}

// The flags of status() that no game can start from, and how to say them.
constexpr std::array<std::pair<std::uint32_t, std::string_view>, 6> UNPLAYABLE = {{
    {STATUS_NO_WHITE_KING, "white has no king"},
    {STATUS_NO_BLACK_KING, "black has no king"},
    {STATUS_TOO_MANY_KINGS, "a side has more than one king"},
    {STATUS_PAWNS_ON_BACKRANK, "a pawn stands on the first or last rank"},
    {STATUS_OPPOSITE_CHECK, "the side not to move is in check"},
    {STATUS_OVERLAPPING_PIECES, "a square holds two pieces"},
}};

constexpr std::array<std::uint64_t, 4> CASTLING_RIGHTS = {CASTLE_WHITE_KING, CASTLE_WHITE_QUEEN,
                                                          CASTLE_BLACK_KING, CASTLE_BLACK_QUEEN};

}  // namespace

bool is_utf8(std::string_view bytes) {
  std::size_t i = 0;
  while (i < bytes.size()) {
    const auto lead = static_cast<unsigned char>(bytes[i]);
    if (lead < 0x80) {
      ++i;
      continue;
    }
    // The length of the sequence and the range of its second byte, which rules out overlong
    // forms, surrogates and code points beyond U+10FFFF.
    std::size_t size = 0;
    unsigned char low = 0x80, high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
      size = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      size = 3;
      if (lead == 0xE0) low = 0xA0;
      if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      size = 4;
      if (lead == 0xF0) low = 0x90;
      if (lead == 0xF4) high = 0x8F;
    } else {
      return false;
    }
    if (bytes.size() - i < size) return false;
    for (std::size_t k = 1; k < size; ++k) {
      const auto next = static_cast<unsigned char>(bytes[i + k]);
      if (next < (k == 1 ? low : 0x80) || next > (k == 1 ? high : 0xBF)) return false;
    }
    i += size;
  }
  return true;
}

std::expected<Board, std::string> game_start(const MoveGenerator& generator, std::string_view fen) {
  std::expected<Position, FenError> read = read_fen(fen);
  if (!read) return std::unexpected(std::move(read.error().message));
  Position position = *read;
  const std::uint32_t flags = status(generator, position);
  std::string reasons;
  for (const auto& [flag, reason] : UNPLAYABLE) {
    if ((flags & flag) != 0) reasons += joined({reasons.empty() ? "" : "; ", reason});
  }
  if (!reasons.empty()) return std::unexpected(reasons);
  // Castling rights and an en-passant file that the position cannot use are dropped, each
  // judged alone.
  if ((flags & STATUS_BAD_CASTLING_RIGHTS) != 0) {
    for (const std::uint64_t right : CASTLING_RIGHTS) {
      const Position alone{position.pieces, (position.info & ~CASTLING_MASK) | right};
      if ((position.info & right) && (status(generator, alone) & STATUS_BAD_CASTLING_RIGHTS))
        position.info &= ~right;
    }
  }
  if ((flags & STATUS_INVALID_EP_SQUARE) != 0) position.info &= ~EN_PASSANT_MASK;
  return Board(position.pieces, position.info);
}

PgnReader::PgnReader(const MoveGenerator& generator)
    : generator_(generator), board_(*Board::from_fen(DEFAULT_FEN)), start_(board_) {
  token_.reserve(MAX_TOKEN);
}

std::size_t PgnReader::feed(std::string_view input) {
  std::size_t i = 0;
  while (i < input.size() && !ready_) {
    const char c = input[i];
    switch (state_) {
      case State::BOM:
        if (c == BYTE_ORDER_MARK[bom_]) {
          if (++bom_ == BYTE_ORDER_MARK.size()) state_ = State::TEXT;
          ++i;
        } else {
          state_ = State::TEXT;
        }
        continue;
      case State::TEXT:
        if (!text_byte(c)) return i;
        break;
      case State::TOKEN:
        // "e.p." after an en-passant capture is read as one token, and read past.
        if (ends_token(c) && !(c == '.' && (token_ == "e" || token_ == "e.p"))) {
          end_token();  // the byte is read again as move text
          continue;
        }
        if (token_.size() < MAX_TOKEN) token_.push_back(c);
        break;
      case State::TAG:
        if (c == '\n' || tag_.size() == MAX_TAG) {
          fail(UNREADABLE_TAG, std::string_view(joined({"[", tag_})).substr(0, MAX_TOKEN));
          state_ = c == '\n' ? State::TEXT : State::LINE_COMMENT;
          continue;
        }
        if (in_string_) {
          if (escaped_) {
            escaped_ = false;
          } else if (c == '\\') {
            escaped_ = true;
          } else if (c == '"') {
            in_string_ = false;
          }
        } else if (c == '"') {
          in_string_ = true;
        } else if (c == ']') {
          end_tag();
          state_ = State::TEXT;
          break;
        }
        tag_.push_back(c);
        break;
      case State::BRACE_COMMENT: {
        const std::string_view rest = input.substr(i);
        const std::size_t close = std::min(rest.find('}'), rest.size());
        line_ += static_cast<std::uint64_t>(std::ranges::count(rest.substr(0, close), '\n'));
        i += close;
        if (close == rest.size()) continue;
        state_ = State::TEXT;
        break;
      }
      case State::LINE_COMMENT: {
        // The line feed itself is read as move text, which counts it.
        const std::size_t end = input.find('\n', i);
        i = end == std::string_view::npos ? input.size() : end;
        if (end != std::string_view::npos) state_ = State::TEXT;
        continue;
      }
      case State::NAG:
        if (c < '0' || c > '9') {
          state_ = State::TEXT;
          continue;
        }
        break;
    }
    ++i;
  }
  return i;
}

bool PgnReader::text_byte(char c) {
  if (c == '\n') {
    ++line_;
    line_start_ = true;
    return true;
  }
  if (is_blank(c)) return true;
  const bool at_line_start = std::exchange(line_start_, false);
  switch (c) {
    case '[':
      // A tag after move text starts the next game; in an unclosed variation only at the start
      // of a line.
      if (movetext_ && (depth_ == 0 || at_line_start)) {
        complete();
        line_start_ = at_line_start;
        return false;
      }
      if (depth_ == 0) {
        open();
        tag_.clear();
        in_string_ = escaped_ = false;
        state_ = State::TAG;
      }
      return true;
    case '{': state_ = State::BRACE_COMMENT; return true;
    case ';': state_ = State::LINE_COMMENT; return true;
    case '%':
      if (!at_line_start) break;
      state_ = State::LINE_COMMENT;  // an escape line
      return true;
    case '(': ++depth_; return true;
    case ')':
      if (depth_ > 0) --depth_;
      return true;
    case '$': state_ = State::NAG; return true;
    case '*':
      if (depth_ == 0) {
        open();
        movetext_ = result_seen_ = true;
        game_.result = std::string(NO_RESULT);
        complete();
      }
      return true;
    case '.':
    case ']':
    case '}':
    case '"':
    case '<':
    case '>': return true;  // move-number dots and bytes with no use in move text
    default: break;
  }
  state_ = State::TOKEN;
  token_.assign(1, c);
  return true;
}

void PgnReader::end_token() {
  state_ = State::TEXT;
  if (depth_ > 0) return;
  const std::string_view token = token_;
  if (all_of(token, "0123456789")) {  // a move number
    open();
    movetext_ = true;
    return;
  }
  if (std::ranges::find(RESULTS, token) != RESULTS.end()) {
    open();
    movetext_ = result_seen_ = true;
    game_.result = token;
    complete();
    return;
  }
  const bool null_move = std::ranges::find(NULL_MOVES, token) != NULL_MOVES.end();
  // Annotation glyphs standing alone ("!?", "+-", "="), and "e.p.".
  if ((!null_move && all_of(token, "!?+-=/~")) || token == "e.p.") return;
  open();
  movetext_ = true;
  if (skipping_) return;
  if (null_move) {
    fail("Null move: the main line must be moves of the game", token);
    return;
  }
  play(token);
}

void PgnReader::play(std::string_view token) {
  start_moves();
  if (skipping_) return;
  const auto move = parse_san(generator_, board_, token);
  if (!move) {
    fail(san_failure_message(move.error(), token, board_), token);
    return;
  }
  board_.push_move(*move);
  game_.moves.push_back(*move);
}

void PgnReader::end_tag() {
  // Between the brackets: the name, then the value in quotes.
  std::string_view text = tag_;
  const auto trim = [](std::string_view s) {
    while (!s.empty() && is_blank(s.front())) s.remove_prefix(1);
    while (!s.empty() && is_blank(s.back())) s.remove_suffix(1);
    return s;
  };
  text = trim(text);
  std::size_t name_end = 0;
  while (name_end < text.size() && !is_blank(text[name_end]) && text[name_end] != '"') ++name_end;
  const std::string_view name = text.substr(0, name_end);
  const std::string_view quoted = trim(text.substr(name_end));
  if (name.empty() || quoted.size() < 2 || quoted.front() != '"' || quoted.back() != '"') {
    fail(UNREADABLE_TAG, std::string_view(joined({"[", tag_, "]"})).substr(0, MAX_TOKEN));
    return;
  }
  std::string value;
  const std::string_view inner = quoted.substr(1, quoted.size() - 2);
  for (std::size_t i = 0; i < inner.size(); ++i) {
    if (inner[i] == '\\' && i + 1 < inner.size() && (inner[i + 1] == '"' || inner[i + 1] == '\\'))
      ++i;
    value.push_back(inner[i]);
  }
  game_.tags.emplace_back(name, std::move(value));
}

void PgnReader::start_moves() {
  if (started_) return;
  started_ = true;
  const std::string* fen = nullptr;
  const std::string* variant = nullptr;
  for (const auto& [name, value] : game_.tags) {
    if (name == "FEN") fen = &value;
    if (name == "Variant") variant = &value;
  }
  game_.fen = fen != nullptr ? *fen : std::string(DEFAULT_FEN);
  if (variant != nullptr && !is_standard_variant(*variant)) {
    fail("Unsupported variant: only standard chess is read", *variant);
    return;
  }
  if (fen == nullptr) {
    board_.set_position({start_.pieces, start_.info});
    return;
  }
  const std::expected<Board, std::string> start = game_start(generator_, *fen);
  if (!start) {
    fail(joined({"Invalid FEN tag: ", start.error()}), *fen);
    return;
  }
  board_.set_position({start->pieces, start->info});
  game_.fen = start->to_fen();
}

void PgnReader::fail(std::string_view error, std::string_view token) {
  skipping_ = true;
  if (!game_.error.empty()) return;
  game_.error = error;
  game_.token = token;
}

void PgnReader::open() {
  if (open_) return;
  open_ = true;
  game_.line = line_;
}

void PgnReader::complete() {
  start_moves();
  if (!result_seen_) {
    // Without a result at its end, the game has the one its Result tag names.
    std::string_view result = NO_RESULT;
    for (const auto& [name, value] : game_.tags) {
      if (name == "Result" && std::ranges::find(RESULTS, value) != RESULTS.end()) result = value;
    }
    game_.result = std::string(result);
  }
  ready_ = true;
}

bool PgnReader::finish() {
  if (ready_) return true;
  if (state_ == State::TOKEN) end_token();
  if (state_ == State::TAG) {
    fail(UNREADABLE_TAG, std::string_view(joined({"[", tag_})).substr(0, MAX_TOKEN));
  }
  state_ = State::TEXT;
  if (!ready_ && open_) complete();
  return ready_;
}

void PgnReader::next() {
  game_.tags.clear();
  game_.fen.clear();
  game_.moves.clear();
  game_.result.clear();
  game_.line = 0;
  game_.error.clear();
  game_.token.clear();
  depth_ = 0;
  open_ = movetext_ = started_ = skipping_ = result_seen_ = ready_ = false;
}

}  // namespace vorel
