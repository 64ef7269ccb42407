// Histogram buckets and the minute window.
#include "observability/metrics.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

namespace kvx {
namespace {

using namespace std::chrono_literals;

TEST(HistogramTest, PutsEachDurationInTheFirstBucketThatHoldsIt) {
  struct Case {
    std::chrono::nanoseconds d;
    std::size_t bucket;  // index into the cumulative counts
  };
  const Case kCases[] = {
      {0ns, 0},    {50us, 0}, {50001ns, 1},  {100us, 1}, {1ms, 4},
      {1001us, 5}, {10s, 16}, {10001ms, 17}, {-5ns, 0},
  };
  for (const Case& c : kCases) {
    Histogram h;
    h.Observe(c.d);
    const HistogramValues v = h.Read();
    ASSERT_EQ(v.cumulative.size(), kDurationBounds.size() + 1);
    for (std::size_t i = 0; i < v.cumulative.size(); ++i) {
      EXPECT_EQ(v.cumulative[i], i >= c.bucket ? 1u : 0u)
          << c.d.count() << " ns, bucket " << i;
    }
  }
}

TEST(HistogramTest, SumsAndCountsAcrossThreads) {
  Histogram h;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 10000; ++i) h.Observe(2ms);
    });
  }
  for (auto& t : threads) t.join();
  const HistogramValues v = h.Read();
  EXPECT_EQ(v.count, 40000u);
  EXPECT_EQ(v.cumulative.back(), 40000u);
  EXPECT_EQ(v.cumulative[4], 0u);      // 1 ms
  EXPECT_EQ(v.cumulative[5], 40000u);  // 2.5 ms
  EXPECT_DOUBLE_EQ(v.sum_seconds, 80.0);
  EXPECT_DOUBLE_EQ(v.bounds_seconds.front(), 50e-6);
  EXPECT_DOUBLE_EQ(v.bounds_seconds.back(), 10.0);
}

TEST(MinuteWindowTest, CountsTheLastSixtySecondsOnly) {
  MinuteWindow w;
  for (int i = 0; i < 3; ++i) w.Add(1000);
  w.Add(1030);
  w.Add(1059);
  EXPECT_EQ(w.Sum(1059), 5u);
  EXPECT_EQ(w.Sum(1060), 2u) << "second 1000 has left the window";
  EXPECT_EQ(w.Sum(999), 0u) << "nothing from the future";
  // Second 1060 reuses the slot of 1000 and starts it afresh.
  w.Add(1060);
  EXPECT_EQ(w.Sum(1060), 3u);
  EXPECT_EQ(w.Sum(2000), 0u);
}

}  // namespace
}  // namespace kvx
