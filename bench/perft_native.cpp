// Native perft on the chess core alone, without Python: leaves per second of the legal-move
// tree, the last ply counted without listing its moves.
//
//   perft_native <depth> <fen>     prints "<leaves> <seconds>"
//   perft_native --tables          prints "<MoveGenerator construction seconds> <table bytes>"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "move_generator/move_generator.hpp"

namespace {

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "--tables") == 0) {
    const auto start = std::chrono::steady_clock::now();
    const vorel::MoveGenerator generator;
    const double seconds = seconds_since(start);
    std::printf("%.6f %zu\n", seconds, generator.sliding_moves.size() * sizeof(vorel::Bitboard));
    return 0;
  }
  if (argc != 3) {
    std::fprintf(stderr, "usage: perft_native <depth> <fen> | perft_native --tables\n");
    return 2;
  }
  const auto depth = static_cast<unsigned>(std::strtoul(argv[1], nullptr, 10));
  auto board = vorel::Board::from_fen(argv[2]);
  if (!board || depth == 0) {
    std::fprintf(stderr, "bad position or depth\n");
    return 2;
  }
  const vorel::MoveGenerator generator;
  const auto start = std::chrono::steady_clock::now();
  const std::uint64_t leaves = vorel::perft(generator, *board, depth);
  std::printf("%llu %.6f\n", static_cast<unsigned long long>(leaves), seconds_since(start));
  return 0;
}
