#include "base/FatalExit.h"

#include <chrono>
#include <cstdlib>
#include <thread>

#include "base/Console.h"

namespace velmor {

void fatalExit(const char* message) {
  consoleWrite("%s", message);
  std::this_thread::sleep_for(std::chrono::milliseconds(2000));
  std::exit(1);
}

}  // namespace velmor
