// Fuzz target: arbitrary bytes as move text, and the first three bytes as the parts of a move
// word. Any text may be refused; an accepted one must write back to a text that reads the same.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fuzz_support.hpp"

using namespace vorel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  try {
    if (const auto move = ChessMove::from_str(text)) {
      const std::string written = move->to_string();
      fuzz::require(written.size() == 4 || written.size() == 5, "move text of odd length");
      const auto reread = ChessMove::from_str(written);
      fuzz::require(reread.has_value() && *reread == *move, "move text does not read back");
    }
  } catch (const Fault&) {
  }
  if (size >= 3) {
    try {
      const ChessMove move(data[0], data[1], data[2]);
      fuzz::require(move.from() == data[0] && move.to() == data[1] && move.special() == data[2],
                    "checked move word does not keep its parts");
    } catch (const Fault&) {
      fuzz::require(data[0] >= 64 || data[1] >= 64 || data[2] >= 16,
                    "checked move word refused parts in range");
    }
  }
  return 0;
}
