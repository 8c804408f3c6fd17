// Shared by the fuzz targets: the invariants every target checks.
#pragma once

#include <cstdio>
#include <cstdlib>

#include "move_generator/move_generator.hpp"
#include "test_support.hpp"
#include "zobrist/zobrist.hpp"

namespace vorel::fuzz {

// Stops the run with a message; libFuzzer saves the input that got here.
[[noreturn]] inline void broken(const char* what) {
  std::fprintf(stderr, "invariant broken: %s\n", what);
  std::abort();
}

inline void require(bool holds, const char* what) {
  if (!holds) broken(what);
}

inline const MoveGenerator& generator() {
  static const MoveGenerator instance;
  return instance;
}

// The incremental hash must equal the hash computed from scratch.
inline void require_exact_hash(const Board& board) {
  const ZobristBoardComponent fresh(board.pieces, board.info);
  require(fresh.z_key == board.zobrist.z_key && fresh.z_sum == board.zobrist.z_sum,
          "incremental hash differs from the hash computed from scratch");
}

}  // namespace vorel::fuzz
