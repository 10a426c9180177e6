#include "support/ServerProcess.h"

#include <signal.h>

#include <filesystem>
#include <fstream>

#include "support/Eventually.h"
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
  if (process_) process_->stop(std::chrono::milliseconds(0));
}

void ServerProcess::setSettingsText(const std::string& json) {
  dir_.write("velmorserv.json", json);
}

bool ServerProcess::start() {
  std::vector<std::string> command = prefix_;
  command.push_back(dir_.file(kExecutableName));
  process_ = std::make_unique<ChildProcess>(std::move(command), dir_.file("stdout.txt"));
  return process_->started();
}

void ServerProcess::signal(int signum) const {
  if (process_) process_->signal(signum);
}

std::uint64_t ServerProcess::residentKb() const {
  std::ifstream status("/proc/" + std::to_string(pid()) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stoull(line.substr(6));
  }
  return 0;
}

std::size_t ServerProcess::openDescriptors() const {
  std::error_code error;
  std::size_t count = 0;
  for (std::filesystem::directory_iterator it("/proc/" + std::to_string(pid()) + "/fd", error), end;
       !error && it != end; it.increment(error)) {
    ++count;
  }
  return count;
}

std::optional<int> ServerProcess::waitExit(std::chrono::milliseconds timeout) {
  return process_ ? process_->waitExit(timeout) : std::nullopt;
}

bool ServerProcess::waitListening(std::chrono::milliseconds timeout) const {
  return eventually([this] { return connectTo(port_).valid(); }, timeout);
}

std::string ServerProcess::output() const {
  return dir_.read("stdout.txt");
}

bool ServerProcess::waitForOutput(const std::string& text,
                                  std::chrono::milliseconds timeout) const {
  return eventually([&] { return output().find(text) != std::string::npos; }, timeout);
}

}  // namespace velmor::test
