#include "notation/annotations.hpp"

#include <charconv>
#include <cmath>
#include <cstdint>

#include "common/unicode.hpp"

namespace vorel {

namespace {

constexpr bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Returns the size of the white-space character at `pos` (< text.size()), or 0: the ASCII white
// space, the separators U+001C to U+001F, and the Unicode white space.
std::size_t space_at(std::string_view text, std::size_t pos) {
  const auto c = static_cast<unsigned char>(text[pos]);
  if (c < 0x80) return (c >= 0x09 && c <= 0x0D) || (c >= 0x1C && c <= 0x20) ? 1 : 0;
  return white_space_size(text, pos);
}

// Reads a run of digits at `pos` into `value` (saturating) and returns how many there were.
std::size_t digits(std::string_view text, std::size_t& pos, double* value) {
  const std::size_t start = pos;
  while (pos < text.size() && is_digit(text[pos])) {
    if (value != nullptr) *value = *value * 10 + (text[pos] - '0');
    ++pos;
  }
  return pos - start;
}

std::optional<double> clock_at(std::string_view text, std::size_t pos) {
  double hours = 0, minutes = 0, seconds = 0;
  if (digits(text, pos, &hours) == 0 || pos == text.size() || text[pos++] != ':') return {};
  if (digits(text, pos, &minutes) == 0 || pos == text.size() || text[pos++] != ':') return {};
  const std::size_t start = pos;
  if (digits(text, pos, &seconds) == 0) return {};
  if ((pos < text.size() && text[pos] == '.') || pos - start > 15) {
    if (pos < text.size() && text[pos] == '.') ++pos;
    digits(text, pos, nullptr);
    // With a fraction, or more digits than a double holds exactly: the nearest double to the
    // decimal text.
    if (std::from_chars(text.data() + start, text.data() + pos, seconds).ec != std::errc{})
      seconds = HUGE_VAL;  // more digits than a double holds
  }
  if (pos == text.size() || text[pos] != ']') return {};
  return (hours * 3600 + minutes * 60) + seconds;
}

std::optional<Evaluation> eval_at(std::string_view text, std::size_t pos) {
  Evaluation evaluation;
  const auto sign = [&] {
    if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) return text[pos++] == '-';
    return false;
  };
  if (pos < text.size() && text[pos] == '#') {
    ++pos;
    const bool negative = sign();
    double value = 0;
    if (digits(text, pos, &value) == 0) return {};
    // A mate in more moves than a 64-bit number holds says nothing more than the largest one.
    const auto moves = value < 9.2e18 ? static_cast<std::int64_t>(value) : INT64_MAX;
    evaluation.mate = negative ? -moves : moves;
    evaluation.is_mate = true;
  } else {
    const bool negative = sign();
    double whole = 0;
    const std::size_t before = digits(text, pos, &whole);
    std::size_t after = 0;
    std::int64_t fraction = 0;
    const bool point = pos < text.size() && text[pos] == '.';
    if (point) {
      ++pos;
      const std::size_t start = pos;
      while (pos < text.size() && is_digit(text[pos]) && pos - start < 2)
        fraction = fraction * 10 + (text[pos++] - '0');
      after = pos - start;
    }
    // Up to ten digits, a point and one or two more; or one to ten digits and maybe a point.
    const bool pawns = point && after > 0 ? before <= 10 : before >= 1 && before <= 10;
    if (!pawns) return {};
    if (after == 1) fraction *= 10;
    const std::int64_t centipawns = static_cast<std::int64_t>(whole) * 100 + fraction;
    evaluation.centipawns = negative ? -centipawns : centipawns;
  }
  if (pos < text.size() && text[pos] == ',') {
    ++pos;
    if (digits(text, pos, nullptr) == 0) return {};
  }
  if (pos == text.size() || text[pos] != ']') return {};
  return evaluation;
}

// Returns the position after `key` and one white-space character at `at`, or npos.
std::size_t after_key(std::string_view text, std::size_t at, std::string_view key) {
  if (text.size() - at <= key.size()) return std::string_view::npos;
  for (std::size_t i = 0; i < key.size(); ++i) {
    if (text[at + i] != key[i]) return std::string_view::npos;
  }
  const std::size_t space = space_at(text, at + key.size());
  return space == 0 ? std::string_view::npos : at + key.size() + space;
}

}  // namespace

Annotations find_annotations(std::string_view comment) {
  Annotations found;
  // Comments are short: a plain loop finds the brackets sooner than a library search.
  for (std::size_t at = 0; at + 1 < comment.size() && !(found.clock && found.eval); ++at) {
    if (comment[at] != '[' || comment[at + 1] != '%') continue;
    if (!found.clock) {
      if (const std::size_t value = after_key(comment, at, "[%clk");
          value != std::string_view::npos)
        found.clock = clock_at(comment, value);
    }
    if (!found.eval) {
      if (const std::size_t value = after_key(comment, at, "[%eval");
          value != std::string_view::npos)
        found.eval = eval_at(comment, value);
    }
  }
  return found;
}

}  // namespace vorel
