#include <gtest/gtest.h>

#include <atomic>
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

TEST(BorrowFlag, ThreadsNeverOverlapAndRefuseWithTheTwoTexts) {
  BorrowFlag flag;
  std::atomic<int> readers{0}, writers{0}, overlaps{0}, wrong_texts{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 20000; ++i) {
        if ((i + t) % 3 == 0) {
          const auto held = ExclusiveBorrow::take(flag);
          if (!held) {
            if (borrow_error_message(held.error()) != std::string_view("Already borrowed"))
              ++wrong_texts;
            continue;
          }
          if (writers.fetch_add(1) != 0 || readers.load() != 0) ++overlaps;
          writers.fetch_sub(1);
        } else {
          const auto held = SharedBorrow::take(flag);
          if (!held) {
            if (borrow_error_message(held.error()) != std::string_view("Already mutably borrowed"))
              ++wrong_texts;
            continue;
          }
          readers.fetch_add(1);
          if (writers.load() != 0) ++overlaps;
          readers.fetch_sub(1);
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(overlaps.load(), 0);
  EXPECT_EQ(wrong_texts.load(), 0);
  EXPECT_EQ(flag.value(), 0u);
}

}  // namespace
}  // namespace vorel
