// Fuzz target: arbitrary bytes as FEN text. Any text may be refused; one that is read must give a
// board whose hash is exact and whose written FEN reads back to the same position.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fuzz_support.hpp"

using namespace vorel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  try {
    (void)pieces_from_fen(text);
  } catch (const Fault&) {
  }
  try {
    const auto board = Board::from_fen(text);
    if (!board) return 0;
    fuzz::require_exact_hash(*board);
    const std::string written = board->to_fen();
    const auto reread = Board::from_fen(written);
    fuzz::require(reread.has_value(), "written FEN is refused");
    fuzz::require(reread->pieces == board->pieces && reread->info == board->info,
                  "written FEN reads back to another position");
    fuzz::require(reread->to_fen() == written, "FEN round trip is not stable");
    fuzz::require(fen_length({board->pieces, board->info}) == written.size(),
                  "FEN length is wrong");
    fuzz::require(pieces_from_fen(written) == board->pieces, "placement reads back differently");
  } catch (const Fault&) {
  }
  return 0;
}
