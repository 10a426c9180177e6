#pragma once

#include <array>
#include <atomic>
#include <cstdint>

namespace velmor {

// How long the last ticks took: a ring of the last kWindow tick durations (about 5 s of
// 20 ms ticks), from which the status text shows the longest and the 99th percentile. The
// tick itself is what a member's latency waits on: a pass is written out within one tick,
// and requests are read only between ticks. Written by the main loop once per tick; read
// by any thread (the status screen runs on the worker), slot by slot, without a lock.
class TickTimes {
 public:
  static constexpr std::size_t kWindow = 256;

  struct Summary {
    std::uint32_t ticks = 0;  // in the window, up to kWindow
    double longestMs = 0;
    double p99Ms = 0;
  };

  void record(std::uint64_t nanoseconds);
  Summary summary() const;

 private:
  std::array<std::atomic<std::uint32_t>, kWindow> micros_{};
  std::atomic<std::uint64_t> recorded_{0};
};

}  // namespace velmor
