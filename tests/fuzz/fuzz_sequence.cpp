// Fuzz target: bytes drive a sequence of operations on one board: pushing a generated move, a
// move read from the bytes, popping, generating with every move made and taken back, mirroring and
// copying. After every step the hash equals the one computed from scratch; a pop restores exactly
// what the push changed; generation and refused operations leave the board as it was. Every
// generated move has an entry in both policy schemes, which gives the move back on a board with
// one piece a square.

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "encoding/policy.hpp"
#include "encoding/polyglot.hpp"
#include "fuzz_support.hpp"

using namespace vorel;
using vorel::testing::Snapshot;

namespace {

constexpr std::string_view START_POSITIONS[] = {
    "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq -",
    "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq -",
    "8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - -",
    "r3k2r/Pppp1ppp/1b3nbN/nP6/BBP1P3/q4N2/Pp1P2PP/R2Q1RK1 w kq -",
    "r2q1rk1/pP1p2pp/Q4n2/bbp1p3/Np6/1B3NBn/pPPP1PPP/R3K2R b KQ -",
    "rnbq1k1r/pp1Pbppp/2p5/8/2B5/8/PPP1NnPP/RNBQK2R w KQ -",
    "4k3/8/8/2pP4/8/8/8/4K3 w - c6",
    "8/P6k/8/8/8/8/p6K/8 b - -",
};

// Reads the bytes one at a time; past the end every read gives 0.
class Bytes {
 public:
  Bytes(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  bool empty() const { return pos_ >= size_; }
  std::uint8_t next() { return pos_ < size_ ? data_[pos_++] : 0; }
  std::string_view text(std::size_t length) {
    const std::size_t take = std::min(length, size_ - std::min(pos_, size_));
    const std::string_view out(reinterpret_cast<const char*>(data_ + pos_), take);
    pos_ += take;
    return out;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

class Session {
 public:
  explicit Session(Board board) : board_(std::move(board)) {}

  void push(ChessMove move) {
    Snapshot before(board_);
    try {
      board_.push_move(move);
    } catch (const Fault&) {
      fuzz::require(Snapshot(board_) == before, "a refused push changed the board");
      return;
    }
    fuzz::require_exact_hash(board_);
    fuzz::require(board_.history_size() == before.history.size() + 1, "push did not record");
    history_.push_back(std::move(before));
  }

  void pop() {
    if (history_.empty()) {
      const Snapshot before(board_);
      bool refused = false;
      try {
        board_.pop_move();
      } catch (const Fault&) {
        refused = true;
      }
      fuzz::require(refused, "pop with no history did not fault");
      fuzz::require(Snapshot(board_) == before, "a refused pop changed the board");
      return;
    }
    board_.pop_move();
    fuzz::require(Snapshot(board_) == history_.back(), "pop did not restore the board");
    history_.pop_back();
  }

  // Generates the legal moves into `moves`; with `try_all`, also makes and takes back every one.
  // Returns false when generation faults (the board must then be unchanged too).
  bool generate(bool try_all, MoveList& moves) {
    const Snapshot before(board_);
    try {
      fuzz::generator().moves(board_, moves);
    } catch (const Fault&) {
      fuzz::require(Snapshot(board_) == before, "a faulting generation changed the board");
      return false;
    }
    fuzz::require(Snapshot(board_) == before, "generation changed the board");
    if (try_all) {
      // Make and take back every move; a cheap comparison after each, the full one at the end.
      const auto key = [this] {
        return std::tuple(board_.pieces, board_.info, board_.zobrist.z_key, board_.zobrist.z_sum,
                          board_.history_size());
      };
      const auto start = key();
      for (const ChessMove move : moves) {
        board_.push_move(move);  // a generated move never faults
        fuzz::require_exact_hash(board_);
        board_.pop_move();
        fuzz::require(key() == start, "a generated move did not pop cleanly");
      }
      fuzz::require(Snapshot(board_) == before,
                    "making and taking back the moves changed the board");
    }
    return true;
  }

  // Requires every legal move to have an entry in both schemes (marking the mask faults for one
  // without), and, on a board with one piece a square, its entry to give back a legal move of the
  // same squares and promotion (a capture and an en passant onto one square can both be listed on
  // a board whose en-passant file has a piece on its target). The Polyglot key must be defined on
  // any board, and its pieces' part be the entry of every bit of every bitboard, in the colour of
  // that bitboard, whatever else shares the square.
  void check_encodings(const MoveList& moves) const {
    (void)polyglot_key(board_);
    std::uint64_t pieces_key = POLYGLOT_RANDOM[780];  // White to move, without rights or a file
    for (std::size_t piece = 0; piece < PIECE_NB; ++piece) {
      const std::size_t kind = 2 * type_of(piece) + (color_of(piece) == WHITE ? 1 : 0);
      for (Bitboard b = board_.pieces[piece]; b != 0;)
        pieces_key ^= POLYGLOT_RANDOM[64 * kind + pop_lsb(b)];
    }
    fuzz::require(polyglot_key(Position{board_.pieces, WHITE_TO_MOVE}) == pieces_key,
                  "the Polyglot key of the pieces is not the entries of their bitboards");
    std::size_t pieces = 0;
    for (const Bitboard bitboard : board_.pieces) pieces += std::popcount(bitboard);
    const bool one_a_square =
        pieces == static_cast<std::size_t>(std::popcount(occupancy(board_.pieces)));
    const Color us = board_.side_to_move();
    for (const PolicyScheme scheme : {PolicyScheme::LC0, PolicyScheme::AZ}) {
      std::vector<std::uint8_t> row(policy_size(scheme), 0);
      mark_legal_moves(scheme, moves, us, row.data());
      if (!one_a_square) continue;
      for (const ChessMove move : moves) {
        const std::optional<ChessMove> back =
            move_of_index(scheme, policy_index(scheme, move, us), moves, us);
        fuzz::require(back && back->from() == move.from() && back->to() == move.to() &&
                          back->promotion() == move.promotion(),
                      "a policy entry does not give its move back");
      }
    }
  }

  void reflect() {
    const Pieces before = board_.pieces;
    board_.reflect();
    fuzz::require_exact_hash(board_);
    fuzz::require(board_.history == nullptr, "reflect kept the history");
    history_.clear();
    board_.reflect();
    for (std::size_t piece = 0; piece < PIECE_NB; ++piece)
      fuzz::require(board_.pieces[piece] == before[piece], "reflecting twice changed the pieces");
  }

  void copy() {
    const Board twin = board_;
    fuzz::require(Snapshot(twin) == Snapshot(board_), "a copy differs from its board");
  }

 private:
  Board board_;
  std::vector<Snapshot> history_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Bytes bytes(data, size);
  const std::uint8_t first = bytes.next();
  const auto board = Board::from_fen(START_POSITIONS[first % std::size(START_POSITIONS)]);
  Session session(*board);
  for (int step = 0; step < 160 && !bytes.empty(); ++step) {
    const std::uint8_t op = bytes.next();
    switch (op % 8) {
      case 0:
      case 1:
      case 2: {
        MoveList moves;
        if (session.generate(false, moves) && !moves.empty())
          session.push(moves[bytes.next() % moves.size()]);
        break;
      }
      case 3: {
        MoveList moves;
        if (session.generate(true, moves)) session.check_encodings(moves);
        break;
      }
      case 4:
      case 5: session.pop(); break;
      case 6: {
        // A move read from the bytes: any squares, legal or not.
        const std::string_view text = bytes.text(4 + (op >> 7));
        try {
          if (const auto move = ChessMove::from_str(text)) session.push(*move);
        } catch (const Fault&) {
        }
        break;
      }
      case 7:
        if (op & 0x80) {
          session.reflect();
        } else {
          session.copy();
        }
        break;
    }
  }
  return 0;
}
