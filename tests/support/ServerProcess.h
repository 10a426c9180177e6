#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/ChildProcess.h"
#include "support/TempDir.h"

namespace velmor::test {

// The real server executable, copied into a temporary directory with its settings file
// beside it (the server reads its files from its own folder), run as a ChildProcess with
// its output in "stdout.txt" of that folder. The default settings keep port forwarding off
// and bind 127.0.0.1 on a free port. The destructor kills a process still running (by its
// pid) and removes the folder. Test thread only.
class ServerProcess {
 public:
  // `extraSettings` is inserted into the JSON object, e.g. R"("servername": "X",)".
  explicit ServerProcess(const std::string& extraSettings = "");
  // The same, with the folder made inside `baseDirectory` (a file system of the test's).
  ServerProcess(const std::string& extraSettings, const std::string& baseDirectory);
  ~ServerProcess();
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  // Writes the settings text exactly as given instead of the default one.
  void setSettingsText(const std::string& json);

  // Runs the executable through another command, e.g. {"ip", "netns", "exec", "ns"}.
  void setLaunchPrefix(std::vector<std::string> prefix) { prefix_ = std::move(prefix); }
  std::string executable() const { return dir_.file("velmorserver"); }

  // Starts the executable (again, after an exit: the folder and its files stay).
  bool start();
  pid_t pid() const { return process_ ? process_->pid() : -1; }
  std::uint16_t port() const { return port_; }
  const TempDir& dir() const { return dir_; }

  void signal(int signum) const;
  // The process's resident memory in KB (0 when it cannot be read).
  std::uint64_t residentKb() const;
  // How many descriptors the process has open (0 when they cannot be read).
  std::size_t openDescriptors() const;
  // The exit status, or nothing if the process still runs after the timeout.
  std::optional<int> waitExit(std::chrono::milliseconds timeout);
  // Connects until the server accepts (from fresh source addresses), up to the timeout.
  bool waitListening(std::chrono::milliseconds timeout) const;

  std::string output() const;
  bool waitForOutput(const std::string& text, std::chrono::milliseconds timeout) const;

 private:
  TempDir dir_;
  std::uint16_t port_;
  std::vector<std::string> prefix_;
  std::unique_ptr<ChildProcess> process_;  // the last start's
};

}  // namespace velmor::test
