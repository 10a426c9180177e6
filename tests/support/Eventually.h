#pragma once

// Waiting in tests: for a condition, or for the quiet that shows nothing more comes.

#include <chrono>
#include <functional>
#include <thread>

namespace velmor::test {

// How long a test listens for what must not come: several relay passes and a database
// batch, so that anything due has arrived by then.
inline constexpr std::chrono::milliseconds kQuiet{400};

// Whether `holds` becomes true within `timeout`, looked at every `every`: a wait for a
// condition, never a fixed sleep.
inline bool eventually(const std::function<bool()>& holds,
                       std::chrono::milliseconds timeout = std::chrono::seconds(5),
                       std::chrono::milliseconds every = std::chrono::milliseconds(20)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!holds()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(every);
  }
  return true;
}

}  // namespace velmor::test
