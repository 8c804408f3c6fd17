#include "notation/game_arrays.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

#include "notation/annotations.hpp"

namespace vorel {

namespace {

constexpr float NONE = std::numeric_limits<float>::quiet_NaN();

std::uint16_t saturated(std::uint32_t value) {
  return static_cast<std::uint16_t>(std::min<std::uint32_t>(value, UINT16_MAX));
}

// Writes the rows of one game, and the clock and evaluation of each move once its comments are
// all seen.
class RowWriter final : public ReplaySink {
 public:
  RowWriter(const MoveGenerator& generator, const PositionColumns& columns, std::size_t first,
            std::int32_t game, LegalMoveLists* legal)
      : generator_(generator), columns_(columns), row_(first), game_(game), legal_(legal) {}

  void move(const Position& before, const MoveCounters& counters, ChessMove move) override {
    annotate();
    const std::size_t row = row_ + written_++;
    std::memcpy(columns_.bitboards + row * PIECE_NB, before.pieces.data(), sizeof(Pieces));
    const Color us = before.side_to_move();
    columns_.white_to_move[row] = us == WHITE;
    columns_.castling[row] = static_cast<std::uint8_t>((before.info & CASTLING_MASK) >> 1);
    const std::uint64_t files = (before.info >> en_passant_group(us)) & EN_PASSANT_FILES;
    columns_.en_passant[row] = files == 0 ? -1 : static_cast<std::int8_t>(std::countr_zero(files));
    columns_.halfmove_clock[row] = saturated(counters.halfmove_clock);
    columns_.fullmove[row] = saturated(counters.fullmove);
    columns_.move[row] = move.data;
    columns_.game[row] = game_;
    if (legal_ != nullptr) {
      Position position = before;
      MoveList moves;
      generator_.moves(position, moves);
      // Move words are their 16 bits: the list goes over as it is.
      static_assert(sizeof(ChessMove) == sizeof(std::uint16_t));
      const std::size_t size = legal_->moves.size();
      legal_->moves.resize(size + moves.size());
      std::memcpy(legal_->moves.data() + size, moves.begin(), moves.size() * sizeof(ChessMove));
      legal_->counts.push_back(static_cast<std::int64_t>(moves.size()));
    }
  }

  void comment(std::string_view text) override {
    // Several comments after one move read as one, joined by a space.
    if (comments_ == 0) {
      first_ = text;
    } else {
      if (comments_ == 1) joined_.assign(first_);
      joined_.push_back(' ');
      joined_.append(text);
    }
    ++comments_;
  }

  // Writes the annotations of the last move.
  void annotate() {
    if (written_ == 0) return;
    const std::size_t row = row_ + written_ - 1;
    float clock = NONE, eval = NONE;
    std::int16_t mate = 0;
    if (comments_ > 0) {
      const Annotations found =
          find_annotations(comments_ == 1 ? first_ : std::string_view(joined_));
      if (found.clock) clock = static_cast<float>(*found.clock);
      if (const std::optional<Evaluation>& evaluation = found.eval) {
        if (evaluation->is_mate) {
          mate = static_cast<std::int16_t>(
              std::clamp<std::int64_t>(evaluation->mate, INT16_MIN + 1, INT16_MAX));
        } else {
          eval = static_cast<float>(static_cast<double>(evaluation->centipawns) / 100);
        }
      }
    }
    columns_.clock[row] = clock;
    columns_.eval[row] = eval;
    columns_.mate[row] = mate;
    comments_ = 0;
  }

  std::uint32_t written() const { return written_; }

 private:
  const MoveGenerator& generator_;
  const PositionColumns& columns_;
  std::size_t row_;
  std::int32_t game_;
  LegalMoveLists* legal_;
  std::uint32_t written_ = 0;
  std::size_t comments_ = 0;
  std::string_view first_;
  std::string joined_;
};

}  // namespace

void write_rows(const MoveGenerator& generator, std::span<const GameText> games,
                std::span<const std::size_t> first_rows, std::int32_t first_game,
                const PositionColumns& columns, LegalMoveLists* legal, std::span<GameRows> found) {
  for (std::size_t i = 0; i < games.size(); ++i) {
    const std::size_t legal_moves = legal != nullptr ? legal->moves.size() : 0;
    const std::size_t legal_rows = legal != nullptr ? legal->counts.size() : 0;
    RowWriter writer(generator, columns, first_rows[i], first_game + static_cast<std::int32_t>(i),
                     legal);
    Replay replay = replay_game(generator, games[i], writer);
    writer.annotate();
    GameRows& rows = found[i];
    rows.result = replay.result;
    rows.error = std::move(replay.error);
    rows.token = std::move(replay.token);
    rows.rows = rows.error.empty() ? writer.written() : 0;
    if (!rows.error.empty() && legal != nullptr) {
      legal->moves.resize(legal_moves);
      legal->counts.resize(legal_rows);
    }
  }
}

std::size_t close_gaps(const PositionColumns& columns, std::span<const std::size_t> first_rows,
                       std::span<const GameRows> found) {
  std::size_t next = 0;
  for (std::size_t i = 0; i < found.size(); ++i) {
    const std::size_t from = first_rows[i];
    const std::size_t rows = found[i].rows;
    if (from != next && rows > 0) {
      const auto shift = [&]<class T>(T* column, std::size_t width) {
        std::memmove(column + next * width, column + from * width, rows * width * sizeof(T));
      };
      shift(columns.bitboards, PIECE_NB);
      shift(columns.white_to_move, 1);
      shift(columns.castling, 1);
      shift(columns.en_passant, 1);
      shift(columns.halfmove_clock, 1);
      shift(columns.fullmove, 1);
      shift(columns.move, 1);
      shift(columns.clock, 1);
      shift(columns.eval, 1);
      shift(columns.mate, 1);
      shift(columns.game, 1);
    }
    next += rows;
  }
  return next;
}

}  // namespace vorel
