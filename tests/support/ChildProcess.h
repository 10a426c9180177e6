#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace velmor::test {

// A program a test runs beside the server (a Prometheus, say): started with its arguments,
// its standard input from /dev/null and its standard output and error in a file. The
// destructor ends it by its pid (SIGTERM, then SIGKILL if it does not exit within a few
// seconds) and reaps it; nothing else is ever signalled.
class ChildProcess {
 public:
  // Starts `arguments[0]` (looked up in PATH) writing to `outputFile`; running() is false
  // when it could not be started.
  ChildProcess(std::vector<std::string> arguments, const std::string& outputFile);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool running();
  pid_t pid() const { return pid_; }
  // SIGTERM, then SIGKILL after `grace`; the exit status (128 + signal when killed).
  int stop(std::chrono::milliseconds grace = std::chrono::seconds(5));

 private:
  std::optional<int> reap(bool wait);

  pid_t pid_ = -1;
  std::optional<int> status_;
};

}  // namespace velmor::test
