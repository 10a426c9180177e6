#include "support/ChildProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include "support/Eventually.h"

namespace velmor::test {

ChildProcess::ChildProcess(std::vector<std::string> arguments, const std::string& outputFile,
                           const std::string& errorFile) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  if (errorFile.empty()) {
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
  } else {
    posix_spawn_file_actions_addopen(&actions, 2, errorFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
  }
  std::vector<char*> argv;
  for (std::string& word : arguments) argv.push_back(word.data());
  argv.push_back(nullptr);
  if (posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
  posix_spawn_file_actions_destroy(&actions);
}

ChildProcess::~ChildProcess() {
  if (pid_ > 0) stop();
}

std::optional<int> ChildProcess::reap(bool wait) {
  if (status_ || pid_ <= 0) return status_;
  int status = 0;
  if (::waitpid(pid_, &status, wait ? 0 : WNOHANG) == pid_)
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return status_;
}

bool ChildProcess::running() {
  return pid_ > 0 && !reap(false);
}

void ChildProcess::signal(int signum) {
  if (running()) ::kill(pid_, signum);
}

std::optional<int> ChildProcess::waitExit(std::chrono::milliseconds timeout) {
  eventually([this] { return reap(false).has_value(); }, timeout, std::chrono::milliseconds(10));
  return reap(false);
}

int ChildProcess::stop(std::chrono::milliseconds grace) {
  if (pid_ <= 0) return -1;
  signal(SIGTERM);
  if (!waitExit(grace)) {
    ::kill(pid_, SIGKILL);
    reap(true);
  }
  return *status_;
}

}  // namespace velmor::test
