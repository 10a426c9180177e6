#include "base/Console.h"

#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace velmor {

namespace {
std::atomic<bool> attributesChanged{false};
std::atomic<bool> restoreAtExit{false};
}  // namespace

void consoleWrite(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vfprintf(stdout, format, args);
  va_end(args);
  std::fflush(stdout);
}

void consoleAttributesChanged() {
  attributesChanged.store(true, std::memory_order_relaxed);
  if (!restoreAtExit.exchange(true)) std::atexit(consoleRestoreAttributes);
}

void consoleRestoreAttributes() {
  if (!attributesChanged.exchange(false)) return;
  std::fflush(stdout);
  constexpr char kDefaults[] = "\x1b[0m";
  // One small write of its own, so that it works from an exit handler or a failing thread.
  [[maybe_unused]] const ssize_t written = ::write(1, kDefaults, sizeof(kDefaults) - 1);
}

}  // namespace velmor
