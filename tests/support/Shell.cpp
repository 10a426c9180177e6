#include "support/Shell.h"

#include <cstdio>
#include <cstdlib>

namespace velmor::test {

int run(const std::string& command) {
  return std::system((command + " >/dev/null 2>&1").c_str());
}

std::string capture(const std::string& command) {
  std::string out;
  FILE* pipe = popen((command + " 2>/dev/null").c_str(), "r");
  if (pipe == nullptr) return out;
  char buffer[4096];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof(buffer), pipe)) > 0) out.append(buffer, n);
  pclose(pipe);
  return out;
}

bool commandExists(const char* name) {
  return run(std::string("command -v ") + name) == 0;
}

}  // namespace velmor::test
