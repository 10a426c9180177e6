#pragma once

#include <uv.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <ctime>

namespace velmor {

// A source of time: the event loop's milliseconds (main loop only: it is the loop's own
// reading) and wall-clock seconds since 1970 cut to 32 bits (any thread: the database code
// stamps rows with it on the query worker). Tests give the server a ManualClock to move time.
class Clock {
 public:
  virtual ~Clock() = default;
  virtual std::uint64_t loopMs() const = 0;
  virtual std::uint32_t wallSeconds() const = 0;
};

// The real one: the main loop's time and the system's wall clock.
class LoopClock final : public Clock {
 public:
  explicit LoopClock(uv_loop_t* loop) : loop_(loop) {}
  std::uint64_t loopMs() const override { return uv_now(loop_); }
  std::uint32_t wallSeconds() const override {
    return static_cast<std::uint32_t>(std::time(nullptr));
  }

 private:
  uv_loop_t* loop_;
};

// The system's clocks without an event loop (tools and tests that have none).
class SystemClock final : public Clock {
 public:
  std::uint64_t loopMs() const override {
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::steady_clock::now().time_since_epoch())
                                          .count());
  }
  std::uint32_t wallSeconds() const override {
    return static_cast<std::uint32_t>(std::time(nullptr));
  }
};

// A clock that stands still until the test moves it. Atomic, since the worker reads the
// wall seconds while the test's thread sets them.
class ManualClock final : public Clock {
 public:
  ManualClock(std::uint64_t loopMs, std::uint32_t wallSeconds) : ms_(loopMs), wall_(wallSeconds) {}
  std::uint64_t loopMs() const override { return ms_.load(std::memory_order_relaxed); }
  std::uint32_t wallSeconds() const override { return wall_.load(std::memory_order_relaxed); }
  void setLoopMs(std::uint64_t ms) { ms_.store(ms, std::memory_order_relaxed); }
  void setWallSeconds(std::uint32_t s) { wall_.store(s, std::memory_order_relaxed); }
  void advanceMs(std::uint64_t ms) { setLoopMs(loopMs() + ms); }

 private:
  std::atomic<std::uint64_t> ms_;
  std::atomic<std::uint32_t> wall_;
};

// The server's clock: one source every timing rule reads (the connection-rate table, the
// tick, the chat allowance, the relay, the database stamps), and the tick's reading of it.
// Main loop only, except wallSeconds().
class ServerClock {
 public:
  explicit ServerClock(const Clock& source) : source_(&source) { refresh(); }

  // Tests put a clock of their own in; REQUIRES: it outlives the server. (The worker may be
  // reading the wall clock meanwhile: the source is swapped atomically.)
  void use(const Clock& source) {
    source_.store(&source, std::memory_order_release);
    refresh();
  }

  std::uint64_t nowMs() const { return source().loopMs(); }
  std::uint32_t wallSeconds() const { return source().wallSeconds(); }

  // The millisecond clock of the timing rules: the loop time cut to 32 bits, read once at
  // the start of every tick. Differences of its values are taken in 32-bit arithmetic.
  std::uint32_t ms() const { return ms_; }
  void refresh() { ms_ = static_cast<std::uint32_t>(nowMs()); }
  // Tests that drive a pass by hand set the reading directly.
  void setMs(std::uint32_t ms) { ms_ = ms; }

 private:
  const Clock& source() const { return *source_.load(std::memory_order_acquire); }

  std::atomic<const Clock*> source_;
  std::uint32_t ms_ = 0;
};

}  // namespace velmor
