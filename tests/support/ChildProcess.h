#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace velmor::test {

// A program a test runs (the server, a Prometheus beside it): started with its arguments,
// its standard input from /dev/null and its standard output and error in files. It is
// signalled by its pid only; the destructor ends one still running (SIGTERM, then SIGKILL if
// it has not exited within a few seconds) and reaps it. Test thread only.
class ChildProcess {
 public:
  // Starts `arguments[0]` (looked up in PATH) writing to `outputFile`, its errors to
  // `errorFile` when one is named; started() is false when it could not be started.
  ChildProcess(std::vector<std::string> arguments, const std::string& outputFile,
               const std::string& errorFile = "");
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool started() const { return pid_ > 0; }
  bool running();
  pid_t pid() const { return pid_; }
  // Nothing once it has exited and been reaped: the pid may be another's by then.
  void signal(int signum);
  // The exit status (128 + signal when killed), or nothing if it still runs after `timeout`.
  std::optional<int> waitExit(std::chrono::milliseconds timeout);
  // SIGTERM, then SIGKILL after `grace`; the exit status.
  int stop(std::chrono::milliseconds grace = std::chrono::seconds(5));

 private:
  std::optional<int> reap(bool wait);

  pid_t pid_ = -1;
  std::optional<int> status_;
};

}  // namespace velmor::test
