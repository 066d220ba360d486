#include "verify/ordered_runner.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace {

// Items finish out of order (later ones sooner); delivery must still be in
// order, with each result the one made for its item.
TEST(OrderedRunnerTest, DeliversInOrderWhateverTheJobs) {
  constexpr size_t kCount = 40;
  for (unsigned jobs : {1u, 2u, 3u, 8u, 64u}) {
    SCOPED_TRACE(jobs);
    std::vector<size_t> delivered;
    RunInOrder(
        kCount, jobs,
        [](size_t item) {
          std::this_thread::sleep_for(std::chrono::microseconds((kCount - item) * 50));
          FileVerdict verdict;
          verdict.status = static_cast<uint32_t>(item * 3);
          return verdict;
        },
        [&](size_t item, FileVerdict&& verdict) {
          EXPECT_EQ(item * 3, verdict.status);
          delivered.push_back(item);
          return true;
        });
    ASSERT_EQ(kCount, delivered.size());
    for (size_t i = 0; i < kCount; ++i) EXPECT_EQ(i, delivered[i]);
  }
}

TEST(OrderedRunnerTest, StopsWhenDeliveryRefuses) {
  for (unsigned jobs : {1u, 4u}) {
    size_t deliveries = 0;
    std::atomic<size_t> started{0};
    RunInOrder(
        1000, jobs,
        [&](size_t) {
          ++started;
          return FileVerdict{};
        },
        [&](size_t item, FileVerdict&&) {
          ++deliveries;
          return item < 4;
        });
    EXPECT_EQ(5u, deliveries) << jobs;
    // Only the window ahead of the refused item may have been started.
    EXPECT_LE(started.load(), 5u + 4 * jobs) << jobs;
  }
}

}  // namespace
