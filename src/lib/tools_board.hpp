#pragma once

// vorel_chess's boards as vorel_tools reads them: through the C-level interface that vorel_chess
// leaves in vorel_chess_runtime (lib/board_api.hpp).

#include <cstddef>
#include <vector>

#include "lib/board_api.hpp"

namespace vorel::python {

// Returns the interface, importing vorel_chess on first use (which fills it); kept for the
// process. Raises ImportError if vorel_chess cannot be imported or is of another build.
const BoardApi& board_api();

// vorel_chess's Board class.
inline PyTypeObject* chess_board_type() { return board_api().board_type; }

// Shared accesses on Board objects, taken together and released when the set is destroyed.
class SharedBoards {
 public:
  SharedBoards() : api_(board_api()) {}
  SharedBoards(const SharedBoards&) = delete;
  SharedBoards& operator=(const SharedBoards&) = delete;
  ~SharedBoards() { api_.unshare(boards_.data(), taken_); }

  // Adds a Board object (of exactly chess_board_type()) whose access take() will take.
  void add(PyObject* board) { boards_.push_back(board); }
  std::size_t size() const { return boards_.size(); }
  void reserve(std::size_t size) { boards_.reserve(size); }

  // Takes the accesses of the boards added since the last call and copies their positions to
  // the end of `positions`. Raises TypeError for a board no constructor built ("<where>Board
  // object is not initialized ...", `where` naming it given its index among the boards) and
  // RuntimeError "Already mutably borrowed".
  template <class Where>
  void take(std::vector<Position>& positions, Where&& where) {
    const std::size_t first = taken_;
    positions.resize(positions.size() + boards_.size() - first);
    Position* out = positions.data() + positions.size() - (boards_.size() - first);
    ShareRefusal refusal = ShareRefusal::NONE;
    taken_ += api_.share(boards_.data() + first, boards_.size() - first, out, &refusal);
    if (refusal == ShareRefusal::NONE) return;
    positions.resize(positions.size() - (boards_.size() - taken_));
    refuse(refusal, where(taken_).c_str());
  }

  // Raises the error of a refused access; `where` names the board ("" for an argument).
  [[noreturn]] static void refuse(ShareRefusal refusal, const char* where);

 private:
  const BoardApi& api_;
  std::vector<PyObject*> boards_;
  std::size_t taken_ = 0;
};

// Returns the position (without history) of the argument `name`: a vorel_chess Board, read under
// a shared access, or a FEN text. Raises TypeError for anything else, and ValueError
// "Invalid fen: ..." for every way a FEN text can fail to read.
Position position_argument(PyObject* object, const char* name);

}  // namespace vorel::python
