#include "notation/pgn.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cctype>
#include <utility>

#include "common/unicode.hpp"
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
constexpr std::string_view NEXT_TAGS = "the next game's tags";
constexpr std::string_view END_OF_INPUT = "the end of the input";
// "e.p." after an en-passant capture, standing alone or glued to it ("exd6e.p."), with or
// without its last dot.
constexpr std::array<std::string_view, 2> EN_PASSANT_MARKS = {"e.p.", "e.p"};

// White space and control bytes separate tokens and mean nothing else.
constexpr bool is_blank(char c) { return static_cast<unsigned char>(c) <= ' '; }

constexpr bool is_line_end(char c) { return c == '\n' || c == '\r'; }

// The bytes that may follow the "[" of a tag: the first of its name.
constexpr bool is_tag_name_start(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
}

// True while a token may be "e.p." or end in it: a dot then goes on with the token.
bool may_become_en_passant_mark(std::string_view token) {
  return token.ends_with('e') || token.ends_with("e.p");
}

// Returns a token or tag text as kept in a game: at most MAX_TOKEN bytes, cut at a character
// boundary.
std::string_view kept(std::string_view text) { return utf8_prefix(text, PgnReader::MAX_TOKEN); }

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
  token_.reserve(MAX_TOKEN + 3);
}

std::size_t PgnReader::feed(std::string_view input) {
  std::size_t i = 0;
  while (i < input.size() && !ready_) {
    const char c = input[i];
    if (after_cr_) {
      after_cr_ = false;
      if (c == '\n') {  // the LF of a CR LF: the CR ended the line
        ++i;
        continue;
      }
    }
    switch (state_) {
      case State::TEXT:
        if (!text_byte(c)) return i;
        break;
      case State::TOKEN:
        if (c == BYTE_ORDER_MARK[2] && token_.ends_with(BYTE_ORDER_MARK.substr(0, 2))) {
          // A byte-order mark glued to a token (files joined without a line end) ends it.
          token_.resize(token_.size() - 2);
          end_token();
          break;
        }
        if (ends_token(c) && !(c == '.' && may_become_en_passant_mark(token_))) {
          end_token();  // the byte is read again as move text
          continue;
        }
        // Room for a character that straddles the limit, cut off at the end of the token.
        if (token_.size() < MAX_TOKEN + 3) token_.push_back(c);
        break;
      case State::TAG:
        if (is_line_end(c)) {
          fail(UNREADABLE_TAG, kept(joined({"[", tag_})));
          state_ = State::TEXT;
          continue;  // the line end is read as move text, which counts it
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
        if (c == '}') {
          state_ = State::TEXT;
          break;
        }
        if (is_line_end(c)) {
          end_line(c);
          break;
        }
        if (line_start_ && !is_blank(c)) {
          // What starts a line in a comment: a tag ends the comment; a byte-order mark is
          // read past.
          if (c == '[' || c == BYTE_ORDER_MARK[0]) {
            resume_ = state_;
            state_ = c == '[' ? State::BRACKET : State::BOM;
            bom_ = 1;
            break;
          }
          line_start_ = false;
        }
        if (line_start_) break;
        // The rest of the line's comment, up to its end or the closing brace.
        const std::size_t stop = input.find_first_of("}\r\n", i + 1);
        i = stop == std::string_view::npos ? input.size() : stop;
        continue;
      }
      case State::LINE_COMMENT: {
        // The line end itself is read as move text, which counts it.
        const std::size_t end = input.find_first_of("\r\n", i);
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
      case State::BOM:
        if (c == BYTE_ORDER_MARK[bom_]) {
          if (++bom_ == BYTE_ORDER_MARK.size()) state_ = resume_;
          break;
        }
        // No byte-order mark: the bytes matched were the start of a token or of comment text.
        line_start_ = false;
        state_ = resume_;
        if (resume_ == State::TEXT) {
          token_.assign(BYTE_ORDER_MARK.substr(0, bom_));
          state_ = State::TOKEN;
        }
        continue;
      case State::BRACKET:
        if (!bracket_byte(c)) return i;
        continue;
    }
    ++i;
  }
  return i;
}

void PgnReader::end_line(char c) {
  ++line_;
  line_start_ = true;
  after_cr_ = c == '\r';
}

bool PgnReader::text_byte(char c) {
  if (is_line_end(c)) {
    end_line(c);
    return true;
  }
  if (is_blank(c)) return true;
  if (c == BYTE_ORDER_MARK[0]) {
    // Perhaps a byte-order mark (files joined together), which leaves a line start as it is.
    resume_ = State::TEXT;
    state_ = State::BOM;
    bom_ = 1;
    return true;
  }
  const bool at_line_start = std::exchange(line_start_, false);
  switch (c) {
    case '[':
      if (depth_ > 0) {
        // In an unclosed variation, a tag at the start of a line ends the game.
        if (at_line_start) {
          resume_ = State::TEXT;
          state_ = State::BRACKET;
        }
        return true;
      }
      if (movetext_) {  // a tag after move text starts the next game
        complete();
        line_start_ = at_line_start;
        return false;
      }
      start_tag();
      return true;
    case '{': state_ = State::BRACE_COMMENT; return true;
    case ';': state_ = State::LINE_COMMENT; return true;
    case '%':
      if (!at_line_start) break;
      state_ = State::LINE_COMMENT;  // an escape line
      return true;
    case '(':
      if (depth_ == 0) {  // a variation is move text: a tag after it starts the next game
        open();
        movetext_ = true;
      }
      ++depth_;
      return true;
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

bool PgnReader::bracket_byte(char c) {
  const bool comment = resume_ == State::BRACE_COMMENT;
  if (!is_tag_name_start(c)) {
    // Not a tag: the "[" was part of the comment or read past in the variation.
    state_ = resume_;
    line_start_ = false;
    return true;
  }
  if (!open_) {
    // A comment before anything of a game: the tag is the game's first.
    start_tag();
    return true;
  }
  fail_unclosed(comment, NEXT_TAGS);
  complete();
  tag_pending_ = true;
  return false;
}

void PgnReader::fail_unclosed(bool comment, std::string_view before) {
  start_moves();
  if (comment) {
    fail(joined({"Unclosed comment: a '{' is not closed before ", before}), "{");
  } else {
    fail(joined({"Unclosed variation: a '(' is not closed before ", before}), "(");
  }
}

void PgnReader::start_tag() {
  open();
  tag_.clear();
  in_string_ = escaped_ = false;
  state_ = State::TAG;
}

void PgnReader::end_token() {
  state_ = State::TEXT;
  if (depth_ > 0) return;
  std::string_view token = kept(token_);
  for (const std::string_view mark : EN_PASSANT_MARKS) {
    if (token.ends_with(mark)) {
      token.remove_suffix(mark.size());
      break;
    }
  }
  if (token.empty()) return;
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
  // Annotation glyphs standing alone ("!?", "+-", "=").
  if (!null_move && all_of(token, "!?+-=/~")) return;
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
    fail(UNREADABLE_TAG, kept(joined({"[", tag_, "]"})));
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
    // The token is never empty: an empty value stands as the tag it was written in.
    fail(joined({"Invalid FEN tag: ", start.error()}), fen->empty() ? "[FEN \"\"]" : *fen);
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
  if (state_ == State::BOM) {
    state_ = resume_;
    if (resume_ == State::TEXT) {
      token_.assign(BYTE_ORDER_MARK.substr(0, bom_));
      state_ = State::TOKEN;
    }
  }
  if (state_ == State::BRACKET) state_ = resume_;
  if (state_ == State::TOKEN) end_token();
  if (ready_) return true;  // the token was a result
  if (state_ == State::TAG) fail(UNREADABLE_TAG, kept(joined({"[", tag_})));
  if (open_ && (state_ == State::BRACE_COMMENT || depth_ > 0))
    fail_unclosed(state_ == State::BRACE_COMMENT, END_OF_INPUT);
  state_ = State::TEXT;
  if (open_) complete();
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
  if (std::exchange(tag_pending_, false)) start_tag();
}

}  // namespace vorel
