#pragma once

#include <atomic>
#include <cstdint>
#include <expected>
#include <string_view>
#include <utility>

namespace vorel {

// The access word of one Python-visible object.
// 0 = no access held, all bits set = one exclusive access, any other n = n shared accesses.
// Changed only with atomic operations, so overlapping accesses are refused rather than raced.
class BorrowFlag {
 public:
  static constexpr std::uint64_t EXCLUSIVE = ~std::uint64_t{0};

  // Returns true and counts one more shared access unless an exclusive one is held.
  bool try_shared() noexcept {
    std::uint64_t current = flag_.load(std::memory_order_relaxed);
    do {
      if (current == EXCLUSIVE) return false;
    } while (!flag_.compare_exchange_weak(current, current + 1, std::memory_order_acquire,
                                          std::memory_order_relaxed));
    return true;
  }

  // Returns true and marks the object exclusively held if no access is held at all.
  bool try_exclusive() noexcept {
    std::uint64_t expected = 0;
    return flag_.compare_exchange_strong(expected, EXCLUSIVE, std::memory_order_acquire,
                                         std::memory_order_relaxed);
  }

  void release_shared() noexcept { flag_.fetch_sub(1, std::memory_order_release); }
  void release_exclusive() noexcept { flag_.store(0, std::memory_order_release); }

  std::uint64_t value() const noexcept { return flag_.load(std::memory_order_relaxed); }

 private:
  std::atomic<std::uint64_t> flag_{0};
};

enum class BorrowError { AlreadyMutablyBorrowed, AlreadyBorrowed };

// Returns the message a refused access reports.
constexpr std::string_view borrow_error_message(BorrowError error) {
  return error == BorrowError::AlreadyMutablyBorrowed ? "Already mutably borrowed"
                                                      : "Already borrowed";
}

// A held access, released when the guard goes out of scope.
template <bool Exclusive>
class Borrow {
 public:
  static std::expected<Borrow, BorrowError> take(BorrowFlag& flag) noexcept {
    if constexpr (Exclusive) {
      if (!flag.try_exclusive()) return std::unexpected(BorrowError::AlreadyBorrowed);
    } else {
      if (!flag.try_shared()) return std::unexpected(BorrowError::AlreadyMutablyBorrowed);
    }
    return Borrow(flag);
  }

  Borrow(Borrow&& other) noexcept : flag_(std::exchange(other.flag_, nullptr)) {}
  Borrow& operator=(Borrow&&) = delete;
  Borrow(const Borrow&) = delete;
  Borrow& operator=(const Borrow&) = delete;
  ~Borrow() {
    if (flag_ == nullptr) return;
    if constexpr (Exclusive) {
      flag_->release_exclusive();
    } else {
      flag_->release_shared();
    }
  }

 private:
  explicit Borrow(BorrowFlag& flag) noexcept : flag_(&flag) {}
  BorrowFlag* flag_;
};

using SharedBorrow = Borrow<false>;
using ExclusiveBorrow = Borrow<true>;

}  // namespace vorel
