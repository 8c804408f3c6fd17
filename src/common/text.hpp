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
  const auto hits_at = [&](std::size_t from) {
    Bytes chunk;
    std::memcpy(&chunk, data + from, sizeof chunk);
    return static_cast<unsigned>(__builtin_ia32_pmovmskb128(((chunk == Stops) | ...)));
  };
  while (end - at >= 16) {
    if (const unsigned hits = hits_at(at)) return at + std::countr_zero(hits);
    at += 16;
  }
  // The rest, fewer than 16 bytes: the last 16 bytes of [0, end), when there are so many, with
  // those before `at` left out.
  if (at < end && end >= 16) {
    const unsigned hits = hits_at(end - 16) >> (16 - (end - at));
    return hits != 0 ? at + std::countr_zero(hits) : end;
  }
#endif
  while (at < end && ((data[at] != Stops) && ...)) ++at;
  return at;
}

}  // namespace vorel
