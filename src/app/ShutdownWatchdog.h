#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace velmor {

// Bounds the time a shutdown may take: once armed, a thread of its own waits; if the
// shutdown has not finished (disarm, or the watchdog's destruction) by the deadline, it
// prints why and ends the process with status 1. Armed and disarmed on the main thread.
class ShutdownWatchdog {
 public:
  ShutdownWatchdog() = default;
  ~ShutdownWatchdog() { disarm(); }
  ShutdownWatchdog(const ShutdownWatchdog&) = delete;
  ShutdownWatchdog& operator=(const ShutdownWatchdog&) = delete;

  void arm(std::chrono::milliseconds limit);
  void disarm();

 private:
  std::mutex mutex_;
  std::condition_variable finished_;
  bool done_ = false;
  std::thread thread_;
};

}  // namespace velmor
