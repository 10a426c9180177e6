// The window of tick durations the status text reports from.
#include <gtest/gtest.h>

#include <vector>

#include "core/TickTimes.h"

namespace velmor {
namespace {

constexpr std::uint64_t kMs = 1'000'000;  // ns

TEST(TickTimes, LongestAndNearestRankPercentileOfTheWindow) {
  struct Case {
    const char* what;
    std::vector<std::uint64_t> ns;
    std::uint32_t ticks;
    double longestMs, p99Ms;
  };
  std::vector<std::uint64_t> hundred(100, 1 * kMs);
  hundred[37] = 30 * kMs;  // one slow tick in a hundred is the 1 % above the 99th percentile
  std::vector<std::uint64_t> twoHundred(200, 2 * kMs);
  twoHundred[5] = 40 * kMs;
  twoHundred[150] = 9 * kMs;  // the second largest of 200 is the 198th: 2 ms
  std::vector<std::uint64_t> overflow(TickTimes::kWindow + 3, 1 * kMs);
  overflow[1] = 50 * kMs;  // written over by the window's later ticks
  for (const Case& c : {
           Case{"no tick yet", {}, 0, 0, 0},
           Case{"one tick", {1500000}, 1, 1.5, 1.5},
           Case{"sub-microsecond parts are cut", {999}, 1, 0, 0},
           Case{"one slow tick in a hundred", hundred, 100, 30, 1},
           Case{"two slow ticks in two hundred", twoHundred, 200, 40, 2},
           Case{"older ticks leave the window", overflow, TickTimes::kWindow, 1, 1},
       }) {
    TickTimes times;
    for (std::uint64_t ns : c.ns) times.record(ns);
    const TickTimes::Summary s = times.summary();
    EXPECT_EQ(s.ticks, c.ticks) << c.what;
    EXPECT_DOUBLE_EQ(s.longestMs, c.longestMs) << c.what;
    EXPECT_DOUBLE_EQ(s.p99Ms, c.p99Ms) << c.what;
  }
}

TEST(TickTimes, TickBeyondFourBillionMicrosecondsIsHeldAtTheMost) {
  TickTimes times;
  times.record(std::uint64_t{1} << 60);
  EXPECT_DOUBLE_EQ(times.summary().longestMs, 4294967295 / 1000.0);
}

}  // namespace
}  // namespace velmor
