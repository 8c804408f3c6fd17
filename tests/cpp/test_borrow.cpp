#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <stdexcept>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "lib/borrow.hpp"

namespace vorel {
namespace {

template <class Guard>
std::string_view refusal(BorrowFlag& flag) {
  const auto taken = Guard::take(flag);
  return taken ? "" : borrow_error_message(taken.error());
}

TEST(BorrowFlag, SharedAccessesStackAndExcludeAnExclusiveOne) {
  BorrowFlag flag;
  {
    const auto first = SharedBorrow::take(flag);
    const auto second = SharedBorrow::take(flag);
    ASSERT_TRUE(first && second);
    EXPECT_EQ(flag.value(), 2u);
    EXPECT_EQ(refusal<ExclusiveBorrow>(flag), "Already borrowed");
    EXPECT_EQ(flag.value(), 2u);
  }
  EXPECT_EQ(flag.value(), 0u);
}

TEST(BorrowFlag, AnExclusiveAccessExcludesEverything) {
  BorrowFlag flag;
  {
    const auto held = ExclusiveBorrow::take(flag);
    ASSERT_TRUE(held);
    EXPECT_EQ(flag.value(), BorrowFlag::EXCLUSIVE);
    EXPECT_EQ(refusal<SharedBorrow>(flag), "Already mutably borrowed");
    EXPECT_EQ(refusal<ExclusiveBorrow>(flag), "Already borrowed");
    EXPECT_EQ(flag.value(), BorrowFlag::EXCLUSIVE);
  }
  EXPECT_EQ(flag.value(), 0u);
  EXPECT_EQ(refusal<ExclusiveBorrow>(flag), "");
  EXPECT_EQ(flag.value(), 0u);
}

TEST(BorrowFlag, GuardsReleaseOnceOnEveryExit) {
  BorrowFlag flag;
  EXPECT_THROW(
      {
        const auto held = ExclusiveBorrow::take(flag);
        if (held) throw std::runtime_error("body failed");
      },
      std::runtime_error);
  EXPECT_EQ(flag.value(), 0u);
  // A guard moved from another releases the access once, not twice.
  const auto outer = SharedBorrow::take(flag);
  {
    auto inner = SharedBorrow::take(flag);
    ASSERT_TRUE(inner);
    const SharedBorrow moved = std::move(*inner);
    EXPECT_EQ(flag.value(), 2u);
  }
  EXPECT_EQ(flag.value(), 1u);
}

// Threads hammer one flag with shared and exclusive takes. An exclusive access never overlaps
// another access, a shared one never overlaps an exclusive one, and every refused take reports
// the text of its kind: "Already borrowed" for exclusive, "Already mutably borrowed" for shared.
TEST(BorrowFlag, ThreadsNeverOverlapAnExclusiveAccess) {
  constexpr int THREADS = 4;
  BorrowFlag flag;
  std::atomic<int> readers{0}, writers{0}, overlaps{0}, wrong_texts{0}, wrong_values{0};
  std::atomic<int> granted{0}, refused{0};
  std::atomic<bool> start{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < THREADS; ++t) {
    threads.emplace_back([&, t] {
      while (!start.load()) std::this_thread::yield();
      for (int i = 0; i < 20000; ++i) {
        if ((i + t) % 3 == 0) {
          const auto held = ExclusiveBorrow::take(flag);
          if (!held) {
            ++refused;
            if (borrow_error_message(held.error()) != "Already borrowed") ++wrong_texts;
            continue;
          }
          ++granted;
          if (writers.fetch_add(1) != 0 || readers.load() != 0) ++overlaps;
          if (flag.value() != BorrowFlag::EXCLUSIVE) ++wrong_values;
          // Holding on across a yield lets the other threads run into the access.
          std::this_thread::yield();
          writers.fetch_sub(1);
        } else {
          const auto held = SharedBorrow::take(flag);
          if (!held) {
            ++refused;
            if (borrow_error_message(held.error()) != "Already mutably borrowed") ++wrong_texts;
            continue;
          }
          ++granted;
          readers.fetch_add(1);
          if (writers.load() != 0) ++overlaps;
          const std::uint64_t value = flag.value();
          if (value == 0 || value > THREADS) ++wrong_values;
          std::this_thread::yield();
          readers.fetch_sub(1);
        }
      }
    });
  }
  start.store(true);
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(overlaps.load(), 0);
  EXPECT_EQ(wrong_texts.load(), 0);
  EXPECT_EQ(wrong_values.load(), 0);
  EXPECT_EQ(granted.load() + refused.load(), THREADS * 20000);
  EXPECT_EQ(flag.value(), 0u);
}

}  // namespace
}  // namespace vorel
