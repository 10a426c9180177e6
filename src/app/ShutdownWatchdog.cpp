#include "app/ShutdownWatchdog.h"

#include <cstdlib>

#include "net/Console.h"

namespace velmor {

void ShutdownWatchdog::arm(std::chrono::milliseconds limit) {
  if (thread_.joinable()) return;
  thread_ = std::thread([this, limit] {
    std::unique_lock<std::mutex> lock(mutex_);
    if (finished_.wait_for(lock, limit, [this] { return done_; })) return;
    consoleWrite(
        "\nShutdown did not finish within %lld seconds; exiting.\n",
        static_cast<long long>(std::chrono::duration_cast<std::chrono::seconds>(limit).count()));
    std::_Exit(1);
  });
}

void ShutdownWatchdog::disarm() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    done_ = true;
  }
  finished_.notify_all();
  if (thread_.joinable()) thread_.join();
}

}  // namespace velmor
