// A small mutation driver for the fuzz target, so that it runs with g++ and the sanitizers
// alone: it mutates seed texts at random for a given number of seconds.
//
//   fuzz_fen <seconds> [seed]

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

const std::vector<std::string> SEEDS = {
    "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq -\ne2e4",
    "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1\ne1c1",
    "8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - -\nb5c6",
    "r3k2r/Pppp1ppp/1b3nbN/nP6/BBP1P3/q4N2/Pp1P2PP/R2Q1RK1 w kq - 0 1\nb2a1q",
    "4k3/1P6/8/8/8/8/8/1R2K3 w - e3\nb7b8",
    "8/8/8/8/8/8/8/8 b - -\na1a1",
};

// Characters that FEN and move texts are made of, plus white space and UTF-8 pieces.
const std::string ALPHABET = "pnbrqkPNBRQK12345678090/ wb-KQkqabcdefgh\n\t\x85\xa0\xc2\xe2\x80\xe3";

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 10;
  std::mt19937_64 rng(argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  std::uint64_t runs = 0;
  while (std::chrono::steady_clock::now() < deadline) {
    std::string text = SEEDS[rng() % SEEDS.size()];
    const int mutations = 1 + static_cast<int>(rng() % 8);
    for (int i = 0; i < mutations; ++i) {
      const std::size_t pos = text.empty() ? 0 : rng() % (text.size() + 1);
      switch (rng() % 5) {
        case 0: text.insert(pos, 1, ALPHABET[rng() % ALPHABET.size()]); break;
        case 1:
          if (pos < text.size()) text.erase(pos, 1 + rng() % 4);
          break;
        case 2:
          if (pos < text.size()) text[pos] = ALPHABET[rng() % ALPHABET.size()];
          break;
        case 3:
          if (pos < text.size()) text[pos] = static_cast<char>(rng());
          break;
        default: text.insert(pos, SEEDS[rng() % SEEDS.size()].substr(0, rng() % 20)); break;
      }
    }
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
    ++runs;
  }
  std::printf("fuzz: %llu inputs, no crash\n", static_cast<unsigned long long>(runs));
  return 0;
}
