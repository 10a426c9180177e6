#include "base/Console.h"

#include <cstdarg>
#include <cstdio>

namespace velmor {

void consoleWrite(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vfprintf(stdout, format, args);
  va_end(args);
  std::fflush(stdout);
}

}  // namespace velmor
