#pragma once

#include <array>
#include <atomic>
#include <cstdint>

#include "base/Histogram.h"

namespace velmor {

// How long the last ticks took: a ring of the last kWindow tick durations (about 5 s of
// 20 ms ticks), from which the status text shows the longest and the 99th percentile, and
// a histogram of every tick since the start, for the metrics endpoint. The tick itself is
// what a member's latency waits on: a pass is written out within one tick, and requests are
// read only between ticks. Written by the main loop once per tick; read by any thread (the
// status screen runs on the worker, the metrics endpoint on its own), slot by slot, without
// a lock.
class TickTimes {
 public:
  static constexpr std::size_t kWindow = 256;
  // The histogram's bounds (ns): fine below a millisecond, where ticks normally end, and
  // close around the 20 ms period, where a tick starts to make the next one late.
  static constexpr std::array<std::uint64_t, 14> kBucketsNs{
      100'000,    250'000,    500'000,    1'000'000,  2'500'000,   5'000'000,   10'000'000,
      15'000'000, 20'000'000, 25'000'000, 50'000'000, 100'000'000, 250'000'000, 1'000'000'000};
  using Durations = Histogram<kBucketsNs.size()>;

  struct Summary {
    std::uint32_t ticks = 0;  // in the window, up to kWindow
    double longestMs = 0;
    double p99Ms = 0;
  };

  void record(std::uint64_t nanoseconds);
  Summary summary() const;
  const Durations& durations() const { return durations_; }

 private:
  Durations durations_{kBucketsNs};
  std::array<std::atomic<std::uint32_t>, kWindow> micros_{};
  std::atomic<std::uint64_t> recorded_{0};
};

}  // namespace velmor
