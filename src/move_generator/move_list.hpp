#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <memory>

#include "chess_move/chess_move.hpp"

namespace vorel {

// A list of moves stored inline up to INLINE_CAPACITY and on the heap beyond it, so that the
// usual position costs no allocation while positions with unusually many pieces still fit.
class MoveList {
 public:
  static constexpr std::size_t INLINE_CAPACITY = 256;

  MoveList() = default;
  MoveList(const MoveList&) = delete;
  MoveList& operator=(const MoveList&) = delete;

  void push_back(ChessMove move) {
    if (size_ == capacity_) [[unlikely]]
      grow();
    data_[size_++] = move;
  }

  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  ChessMove operator[](std::size_t i) const { return data_[i]; }
  ChessMove& operator[](std::size_t i) { return data_[i]; }
  const ChessMove* begin() const { return data_; }
  const ChessMove* end() const { return data_ + size_; }

  void truncate(std::size_t n) { size_ = std::min(n, size_); }

 private:
  void grow() {
    const std::size_t capacity = capacity_ * 2;
    auto heap = std::make_unique_for_overwrite<ChessMove[]>(capacity);
    std::copy(data_, data_ + size_, heap.get());
    heap_ = std::move(heap);
    data_ = heap_.get();
    capacity_ = capacity;
  }

  std::array<ChessMove, INLINE_CAPACITY> inline_;
  ChessMove* data_ = inline_.data();
  std::size_t size_ = 0;
  std::size_t capacity_ = INLINE_CAPACITY;
  std::unique_ptr<ChessMove[]> heap_;
};

}  // namespace vorel
