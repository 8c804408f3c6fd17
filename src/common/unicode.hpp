#pragma once

#include <cstddef>
#include <string_view>

namespace vorel {

// One character decoded from UTF-8 text.
struct Utf8Char {
  char32_t code;     // the code point; for a malformed sequence, the value of its first byte
  std::size_t size;  // bytes taken from the text, 1 to 4
};

// Decodes the character that starts at byte `pos` (< text.size()). Never reads past the text:
// a malformed or truncated sequence counts as one character of one byte.
constexpr Utf8Char decode_utf8(std::string_view text, std::size_t pos) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(pos);
  if (lead < 0x80) return {lead, 1};
  std::size_t size = 0;
  char32_t code = 0;
  if ((lead & 0xE0) == 0xC0) {
    size = 2;
    code = lead & 0x1F;
  } else if ((lead & 0xF0) == 0xE0) {
    size = 3;
    code = lead & 0x0F;
  } else if ((lead & 0xF8) == 0xF0) {
    size = 4;
    code = lead & 0x07;
  } else {
    return {lead, 1};
  }
  if (pos + size > text.size()) return {lead, 1};
  for (std::size_t i = 1; i < size; ++i) {
    if ((byte(pos + i) & 0xC0) != 0x80) return {lead, 1};
    code = (code << 6) | (byte(pos + i) & 0x3F);
  }
  return {code, size};
}

// Returns the longest start of `text` of at most `size` bytes that does not end inside a
// character, so that a text cut there is still well-formed UTF-8 when it was. A byte that starts
// no well-formed sequence counts as a character of its own: Latin-1 text is cut at `size` bytes.
constexpr std::string_view utf8_prefix(std::string_view text, std::size_t size) {
  if (text.size() <= size) return text;
  std::size_t end = 0;
  while (true) {
    const std::size_t next = end + decode_utf8(text, end).size;
    if (next > size) return text.substr(0, end);
    end = next;
  }
}

// True for the characters with the Unicode White_Space property.
constexpr bool is_white_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

// Returns the size in bytes of the white-space character at byte pos (< text.size()), or 0 when
// the character there is not white space.
constexpr std::size_t white_space_size(std::string_view text, std::size_t pos) {
  const auto byte = static_cast<unsigned char>(text[pos]);
  if (byte < 0x80) return (byte >= 0x09 && byte <= 0x0D) || byte == 0x20 ? 1 : 0;
  const Utf8Char c = decode_utf8(text, pos);
  return is_white_space(c.code) ? c.size : 0;
}

// Returns the position of the first character at or after byte pos that is not white space, or
// text.size() when there is none.
constexpr std::size_t skip_white_space(std::string_view text, std::size_t pos) {
  while (pos < text.size()) {
    const std::size_t size = white_space_size(text, pos);
    if (size == 0) break;
    pos += size;
  }
  return pos;
}

// Splits text into the maximal runs of characters that are not white space, in order.
class WhiteSpaceFields {
 public:
  // Reads the text from byte `pos` on (the start of a character).
  explicit constexpr WhiteSpaceFields(std::string_view text, std::size_t pos = 0)
      : text_(text), pos_(pos) {}

  // Returns the next field, or an empty view once the text is used up.
  constexpr std::string_view next() {
    pos_ = skip_white_space(text_, pos_);
    const std::size_t start = pos_;
    while (pos_ < text_.size() && white_space_size(text_, pos_) == 0) {
      pos_ += static_cast<unsigned char>(text_[pos_]) < 0x80 ? 1 : decode_utf8(text_, pos_).size;
    }
    return text_.substr(start, pos_ - start);
  }

 private:
  std::string_view text_;
  std::size_t pos_ = 0;
};

// Returns true when `bytes` are well-formed UTF-8 (no overlong forms, surrogates or code points
// beyond U+10FFFF).
constexpr bool is_utf8(std::string_view bytes) {
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

// Returns text without its leading and trailing white space.
constexpr std::string_view trim_white_space(std::string_view text) {
  WhiteSpaceFields fields(text);
  const std::string_view first = fields.next();
  if (first.empty()) return {};
  const std::size_t start = static_cast<std::size_t>(first.data() - text.data());
  std::size_t end = start + first.size();
  for (std::string_view field = fields.next(); !field.empty(); field = fields.next()) {
    end = static_cast<std::size_t>(field.data() - text.data()) + field.size();
  }
  return text.substr(start, end - start);
}

}  // namespace vorel
