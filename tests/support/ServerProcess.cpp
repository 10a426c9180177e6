#include "support/ServerProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "support/Sockets.h"

#ifndef VELMOR_SERVER_EXE
#define VELMOR_SERVER_EXE ""
#endif

namespace velmor::test {

namespace {
const char* const kExecutableName = "velmorserver";
}

ServerProcess::ServerProcess(const std::string& extraSettings)
    : ServerProcess(extraSettings, std::filesystem::temp_directory_path().string()) {}

ServerProcess::ServerProcess(const std::string& extraSettings, const std::string& baseDirectory)
    : dir_(baseDirectory), port_(freePort()) {
  setSettingsText("{" + extraSettings +
                  R"("useupnp": false, "bindaddress": "127.0.0.1", "serverport": )" +
                  std::to_string(port_) + "}");
  std::filesystem::copy_file(VELMOR_SERVER_EXE, dir_.file(kExecutableName));
}

ServerProcess::~ServerProcess() {
  if (pid_ > 0 && !exited_) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
}

void ServerProcess::setSettingsText(const std::string& json) {
  dir_.write("velmorserv.json", json);
}

bool ServerProcess::start() {
  exited_ = false;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, dir_.file("stdout.txt").c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  std::vector<std::string> command = prefix_;
  command.push_back(dir_.file(kExecutableName));
  std::vector<char*> argv;
  for (std::string& word : command) argv.push_back(word.data());
  argv.push_back(nullptr);
  int rc = posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  return rc == 0;
}

void ServerProcess::signal(int signum) const {
  if (pid_ > 0 && !exited_) ::kill(pid_, signum);
}

std::uint64_t ServerProcess::residentKb() const {
  std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stoull(line.substr(6));
  }
  return 0;
}

std::size_t ServerProcess::openDescriptors() const {
  std::error_code error;
  std::size_t count = 0;
  for (std::filesystem::directory_iterator it("/proc/" + std::to_string(pid_) + "/fd", error), end;
       !error && it != end; it.increment(error)) {
    ++count;
  }
  return count;
}

std::optional<int> ServerProcess::waitExit(std::chrono::milliseconds timeout) {
  if (exited_) return status_;
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      exited_ = true;
      status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      return status_;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return std::nullopt;
}

bool ServerProcess::waitListening(std::chrono::milliseconds timeout) const {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (connectTo(port_).valid()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

std::string ServerProcess::output() const {
  return dir_.read("stdout.txt");
}

bool ServerProcess::waitForOutput(const std::string& text,
                                  std::chrono::milliseconds timeout) const {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (output().find(text) != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

}  // namespace velmor::test
