#include "core/TickTimes.h"

#include <algorithm>
#include <limits>

namespace velmor {

void TickTimes::record(std::uint64_t nanoseconds) {
  const std::uint64_t micros =
      std::min<std::uint64_t>(nanoseconds / 1000, std::numeric_limits<std::uint32_t>::max());
  const std::uint64_t n = recorded_.load(std::memory_order_relaxed);
  micros_[n % kWindow].store(static_cast<std::uint32_t>(micros), std::memory_order_relaxed);
  recorded_.store(n + 1, std::memory_order_release);
  durations_.observe(nanoseconds);
}

TickTimes::Summary TickTimes::summary() const {
  const std::uint64_t n = recorded_.load(std::memory_order_acquire);
  const std::size_t count = static_cast<std::size_t>(std::min<std::uint64_t>(n, kWindow));
  std::array<std::uint32_t, kWindow> sorted{};
  for (std::size_t i = 0; i < count; ++i) sorted[i] = micros_[i].load(std::memory_order_relaxed);
  Summary s;
  s.ticks = static_cast<std::uint32_t>(count);
  if (count == 0) return s;
  std::sort(sorted.begin(), sorted.begin() + static_cast<std::ptrdiff_t>(count));
  // The nearest rank: the smallest duration that at least 99 % of the ticks do not exceed.
  const std::size_t rank = (count * 99 + 99) / 100;
  s.p99Ms = sorted[rank - 1] / 1000.0;
  s.longestMs = sorted[count - 1] / 1000.0;
  return s;
}

}  // namespace velmor
