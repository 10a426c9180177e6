#include "app/ShutdownWatchdog.h"

#include <pthread.h>

#include <csignal>
#include <cstdlib>

#include "base/Console.h"

namespace velmor {

void ShutdownWatchdog::arm(std::chrono::milliseconds limit) {
  if (thread_.joinable()) return;
  // The watchdog's thread never takes a stop signal: the main thread decides what becomes
  // of them (the thread inherits the mask it is created with).
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  sigset_t previous;
  pthread_sigmask(SIG_BLOCK, &stopSignals, &previous);
  thread_ = std::thread([this, limit] {
    std::unique_lock<std::mutex> lock(mutex_);
    if (finished_.wait_for(lock, limit, [this] { return done_; })) return;
    consoleWrite(
        "\nShutdown did not finish within %lld seconds; exiting.\n",
        static_cast<long long>(std::chrono::duration_cast<std::chrono::seconds>(limit).count()));
    consoleRestoreAttributes();  // _Exit runs no exit handlers
    std::_Exit(1);
  });
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
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
