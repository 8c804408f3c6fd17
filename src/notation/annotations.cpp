#include "notation/annotations.hpp"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>

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

// Reads a run of digits at `pos` into `value` and returns how many there were.
std::size_t digits(std::string_view text, std::size_t& pos, double* value) {
  const std::size_t start = pos;
  // In a whole number while it holds them exactly (18 digits), as a double beyond.
  std::uint64_t whole = 0;
  while (pos < text.size() && is_digit(text[pos]) && pos - start < 18)
    whole = whole * 10 + static_cast<unsigned>(text[pos++] - '0');
  double number = static_cast<double>(whole);
  while (pos < text.size() && is_digit(text[pos])) number = number * 10 + (text[pos++] - '0');
  if (value != nullptr) *value = number;
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

// Returns the seconds of a clock written "h:mm:ss]" with one digit of hours, as online-play
// exports write nearly every clock, read without loops; nothing for any other form. `text` holds
// at least 8 bytes.
std::optional<double> short_clock(const char* text) {
  const auto digit = [&](int i) { return static_cast<unsigned>(text[i] - '0'); };
  // Each test as a number, so that they are all made (no branch to predict) without a compiler
  // taking the bitwise '&' of truth values for a mistaken '&&'.
  const auto holds = [](bool test) { return static_cast<unsigned>(test); };
  const unsigned short_form = holds(digit(0) < 10) & holds(text[1] == ':') & holds(digit(2) < 10) &
                              holds(digit(3) < 10) & holds(text[4] == ':') & holds(digit(5) < 10) &
                              holds(digit(6) < 10) & holds(text[7] == ']');
  if (!short_form) return {};
  return digit(0) * 3600 + (digit(2) * 10 + digit(3)) * 60 + (digit(5) * 10 + digit(6));
}

}  // namespace

Annotations find_annotations(std::string_view comment) {
  Annotations found;
  const char* const data = comment.data();
  const std::size_t size = comment.size();
  // A clock alone, as online-play exports write after nearly every move, without the search.
  if (size == 14 && std::memcmp(data, "[%clk ", 6) == 0) {
    found.clock = short_clock(data + 6);
    if (found.clock) return found;
  }
  for (std::size_t at = comment.find('['); at < size && size - at > 6;
       at = comment.find('[', at + 1)) {
    if (data[at + 1] != '%') continue;
    // "[%clk" or "[%eval", then one white-space character, then the value.
    if (!found.clock && data[at + 2] == 'c' && data[at + 3] == 'l' && data[at + 4] == 'k') {
      if (data[at + 5] == ' ' && at + 14 <= size) {
        found.clock = short_clock(data + at + 6);
        if (found.clock) continue;
      }
      if (const std::size_t space = space_at(comment, at + 5))
        found.clock = clock_at(comment, at + 5 + space);
    } else if (!found.eval && data[at + 2] == 'e' && data[at + 3] == 'v' && data[at + 4] == 'a' &&
               data[at + 5] == 'l') {
      if (const std::size_t space = space_at(comment, at + 6))
        found.eval = eval_at(comment, at + 6 + space);
    }
    if (found.clock && found.eval) break;
  }
  return found;
}

}  // namespace vorel
