#pragma once

#include <atomic>

namespace velmor {

// A counter with one writer thread (the main loop) and readers on other threads (the
// status screen). The writer's load-and-store is not a read-modify-write, so it costs
// no locked instruction; a reader may see a value one update old, never a torn one.
template <typename T>
class RelaxedCounter {
 public:
  void add(T n) {
    value_.store(value_.load(std::memory_order_relaxed) + n, std::memory_order_relaxed);
  }
  void sub(T n) {
    value_.store(value_.load(std::memory_order_relaxed) - n, std::memory_order_relaxed);
  }
  void set(T n) { value_.store(n, std::memory_order_relaxed); }
  T get() const { return value_.load(std::memory_order_relaxed); }

 private:
  std::atomic<T> value_{0};
};

}  // namespace velmor
