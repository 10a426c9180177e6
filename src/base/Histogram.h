#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "base/RelaxedCounter.h"

namespace velmor {

// A distribution of durations, as the metrics endpoint shows it: how many observations fell
// at or below each of a fixed list of upper bounds (nanoseconds, ascending), how many above
// the last, and their sum. Written by one thread (observe: a short walk over the bounds and
// two relaxed stores; no allocation, no lock); read by any thread through snapshot().
//
// The buckets are kept apart, not cumulative, and a snapshot sums them: its cumulative
// counts never decrease along the bounds and its count is its last bucket's, however the
// writer moves meanwhile. The sum may be one observation ahead of or behind the counts.
template <std::size_t Bounds>
class Histogram {
 public:
  static constexpr std::size_t kBounds = Bounds;

  explicit constexpr Histogram(const std::array<std::uint64_t, Bounds>& boundsNs)
      : bounds_(boundsNs) {}
  Histogram(const Histogram&) = delete;
  Histogram& operator=(const Histogram&) = delete;

  // One writer thread only.
  void observe(std::uint64_t nanoseconds) {
    std::size_t bucket = 0;
    while (bucket < Bounds && nanoseconds > bounds_[bucket]) ++bucket;
    buckets_[bucket].add(1);
    sumNs_.add(nanoseconds);
  }

  struct Snapshot {
    // cumulative[i]: observations at or below boundsNs[i]; cumulative[Bounds]: all of them.
    std::array<std::uint64_t, Bounds + 1> cumulative{};
    std::uint64_t sumNs = 0;
    std::uint64_t count() const { return cumulative[Bounds]; }
  };

  // Any thread.
  Snapshot snapshot() const {
    Snapshot s;
    std::uint64_t running = 0;
    for (std::size_t i = 0; i <= Bounds; ++i) {
      running += buckets_[i].get();
      s.cumulative[i] = running;
    }
    s.sumNs = sumNs_.get();
    return s;
  }
  std::span<const std::uint64_t> boundsNs() const { return bounds_; }

 private:
  const std::array<std::uint64_t, Bounds> bounds_;
  std::array<RelaxedCounter<std::uint64_t>, Bounds + 1> buckets_{};
  RelaxedCounter<std::uint64_t> sumNs_;
};

}  // namespace velmor
