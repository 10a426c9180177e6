#include "ProcessStats.h"

#include <sys/resource.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

namespace velmor::load {

std::optional<ProcessSample> sampleProcess(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(stat, line)) return std::nullopt;
  // Fields after the command name (which may hold blanks) start behind the last ')'.
  std::istringstream fields(line.substr(line.rfind(')') + 2));
  std::string skip;
  for (int i = 0; i < 11; ++i) fields >> skip;  // state .. cmajflt
  unsigned long long utime = 0;
  unsigned long long stime = 0;
  fields >> utime >> stime;
  const long ticks = sysconf(_SC_CLK_TCK);
  ProcessSample sample;
  sample.cpuMicros = (utime + stime) * 1000000ULL / static_cast<unsigned long long>(ticks);
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) sample.peakRssKb = std::stoull(line.substr(6));
    if (line.rfind("VmRSS:", 0) == 0) sample.rssKb = std::stoull(line.substr(6));
  }
  return sample;
}

std::uint64_t ownCpuMicros() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  auto micros = [](const timeval& t) {
    return static_cast<std::uint64_t>(t.tv_sec) * 1000000ULL +
           static_cast<std::uint64_t>(t.tv_usec);
  };
  return micros(usage.ru_utime) + micros(usage.ru_stime);
}

}  // namespace velmor::load
