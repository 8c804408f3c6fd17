#pragma once

// Small helpers for building texts.

#include <initializer_list>
#include <string>
#include <string_view>

namespace vorel {

// Returns the parts one after another (also a way round a false warning of GCC 12 about adding
// a literal to a std::string).
inline std::string joined(std::initializer_list<std::string_view> parts) {
  std::string text;
  std::size_t size = 0;
  for (const std::string_view part : parts) size += part.size();
  text.reserve(size);
  for (const std::string_view part : parts) text += part;
  return text;
}

}  // namespace vorel
