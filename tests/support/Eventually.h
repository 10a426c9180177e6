#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace velmor::test {

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
