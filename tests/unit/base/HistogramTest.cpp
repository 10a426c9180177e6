// The fixed-bucket histogram of durations behind the metrics endpoint's histograms.
#include "base/Histogram.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace velmor {
namespace {

constexpr std::array<std::uint64_t, 3> kBounds{1000, 20'000'000, 1'000'000'000};

// An observation counts in the first bucket whose bound is not below it (Prometheus's `le`):
// a duration equal to a bound is in that bound's bucket.
TEST(Histogram, ObservationFallsInTheFirstBucketItDoesNotExceed) {
  struct Case {
    const char* what;
    std::uint64_t ns;
    std::array<std::uint64_t, 4> cumulative;
  };
  for (const Case& c : {
           Case{"zero", 0, {1, 1, 1, 1}},
           Case{"at the first bound", 1000, {1, 1, 1, 1}},
           Case{"just above it", 1001, {0, 1, 1, 1}},
           Case{"at the tick's period", 20'000'000, {0, 1, 1, 1}},
           Case{"past the period", 20'000'001, {0, 0, 1, 1}},
           Case{"beyond the last bound", 5'000'000'000, {0, 0, 0, 1}},
       }) {
    Histogram<3> histogram(kBounds);
    histogram.observe(c.ns);
    const auto snapshot = histogram.snapshot();
    EXPECT_EQ(snapshot.cumulative, c.cumulative) << c.what;
    EXPECT_EQ(snapshot.count(), 1u) << c.what;
    EXPECT_EQ(snapshot.sumNs, c.ns) << c.what;
  }
}

TEST(Histogram, SnapshotIsCumulativeAndSums) {
  Histogram<3> histogram(kBounds);
  for (std::uint64_t ns : {500ull, 700ull, 3'000'000ull, 30'000'000ull, 2'000'000'000ull})
    histogram.observe(ns);
  const auto snapshot = histogram.snapshot();
  EXPECT_EQ(snapshot.cumulative, (std::array<std::uint64_t, 4>{2, 3, 4, 5}));
  EXPECT_EQ(snapshot.count(), 5u);
  EXPECT_EQ(snapshot.sumNs, 2'033'001'200u);
  EXPECT_EQ(histogram.boundsNs().size(), 3u);
  EXPECT_EQ(histogram.boundsNs()[1], 20'000'000u);
}

// A reader on another thread while the writer observes: every snapshot is a histogram
// (cumulative counts never fall along the bounds, the count is the last bucket) and counts
// never go back between snapshots.
TEST(Histogram, SnapshotsTakenWhileWritingStayConsistent) {
  Histogram<3> histogram(kBounds);
  std::atomic<bool> done{false};
  std::thread writer([&] {
    for (std::uint64_t i = 0; i < 200'000; ++i) histogram.observe((i * 7919) % 1'500'000'000);
    done = true;
  });
  std::uint64_t lastCount = 0;
  int snapshots = 0;
  while (!done || snapshots == 0) {
    const auto snapshot = histogram.snapshot();
    for (std::size_t i = 1; i < snapshot.cumulative.size(); ++i)
      ASSERT_LE(snapshot.cumulative[i - 1], snapshot.cumulative[i]);
    ASSERT_GE(snapshot.count(), lastCount);
    lastCount = snapshot.count();
    ++snapshots;
  }
  writer.join();
  EXPECT_EQ(histogram.snapshot().count(), 200'000u);
}

}  // namespace
}  // namespace velmor
