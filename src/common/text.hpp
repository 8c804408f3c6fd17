#pragma once

// Small helpers for building and searching texts.

#include <bit>
#include <cstddef>
#include <cstring>
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

// Returns the first position in [at, end) of `data` whose byte is one of `Stops`, or end.
// Sixteen bytes at a time where the processor has the instructions for it.
template <char... Stops>
std::size_t find_any_of(const char* data, std::size_t at, std::size_t end) {
#if defined(__SSE2__)
  using Bytes = char __attribute__((vector_size(16)));
  while (end - at >= 16) {
    Bytes chunk;
    std::memcpy(&chunk, data + at, sizeof chunk);
    const auto hits = static_cast<unsigned>(__builtin_ia32_pmovmskb128(((chunk == Stops) | ...)));
    if (hits != 0) return at + static_cast<std::size_t>(std::countr_zero(hits));
    at += 16;
  }
#endif
  while (at < end && ((data[at] != Stops) && ...)) ++at;
  return at;
}

}  // namespace vorel
