#include "metrics/ProcessFigures.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <array>
#include <charconv>
#include <fstream>
#include <memory>
#include <span>
#include <string>

namespace velmor {

namespace {

// The start of a /proc file, up to the buffer's size.
std::optional<std::string_view> readSmallFile(const char* path, std::span<char> buffer) {
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::size_t length = 0;
  while (length < buffer.size()) {
    const ssize_t n = ::read(fd, buffer.data() + length, buffer.size() - length);
    if (n < 0) {
      ::close(fd);
      return std::nullopt;
    }
    if (n == 0) break;
    length += static_cast<std::size_t>(n);
  }
  ::close(fd);
  return std::string_view(buffer.data(), length);
}

bool takeNumber(std::string_view& text, std::uint64_t& out) {
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), out);
  if (error != std::errc()) return false;
  text.remove_prefix(static_cast<std::size_t>(end - text.data()));
  return true;
}

void skipField(std::string_view& text) {
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  while (!text.empty() && text.front() != ' ') text.remove_prefix(1);
}

// Seconds since 1970 at which the system booted ("btime" of /proc/stat, which follows the
// interrupt counts: its size grows with the machine).
std::optional<std::uint64_t> bootTime() {
  std::ifstream stat("/proc/stat");
  for (std::string line; std::getline(stat, line);) {
    if (line.rfind("btime ", 0) != 0) continue;
    std::string_view rest = std::string_view(line).substr(6);
    std::uint64_t seconds = 0;
    if (!takeNumber(rest, seconds)) return std::nullopt;
    return seconds;
  }
  return std::nullopt;
}

}  // namespace

DescriptorListing::DescriptorListing() : directory_(::opendir("/proc/self/fd")) {}

std::optional<std::uint64_t> DescriptorListing::count() {
  if (!directory_) return std::nullopt;
  // Listed afresh from the start: /proc lists the descriptors open at the time of reading.
  ::rewinddir(directory_.get());
  std::uint64_t count = 0;
  while (const dirent* entry = ::readdir(directory_.get())) {
    if (entry->d_name[0] != '.') ++count;
  }
  return count;
}

std::optional<ProcessStat> parseProcessStat(std::string_view line) {
  // "pid (comm) state ppid ...": the name may hold blanks and parentheses; the fields
  // follow the last ')'. Field 3 is the state; 14, 15 the user and system ticks; 22 the
  // start in ticks after boot; 23 the virtual size in bytes; 24 the resident pages.
  const std::size_t close = line.rfind(')');
  if (close == std::string_view::npos) return std::nullopt;
  std::string_view rest = line.substr(close + 1);
  ProcessStat stat;
  skipField(rest);                                            // 3
  for (int field = 4; field <= 13; ++field) skipField(rest);  // 4..13
  if (!takeNumber(rest, stat.userTicks) || !takeNumber(rest, stat.systemTicks)) return std::nullopt;
  for (int field = 16; field <= 21; ++field) skipField(rest);  // 16..21
  if (!takeNumber(rest, stat.startTicks) || !takeNumber(rest, stat.virtualBytes) ||
      !takeNumber(rest, stat.residentPages)) {
    return std::nullopt;
  }
  return stat;
}

ProcessFigures readProcessFigures(DescriptorListing& descriptors) {
  ProcessFigures figures;
  const long ticksPerSecond = ::sysconf(_SC_CLK_TCK);
  const long pageSize = ::sysconf(_SC_PAGESIZE);
  std::array<char, 4096> buffer;
  if (const auto line = readSmallFile("/proc/self/stat", buffer)) {
    if (const std::optional<ProcessStat> stat = parseProcessStat(*line)) {
      if (ticksPerSecond > 0) {
        const auto hz = static_cast<double>(ticksPerSecond);
        figures.cpuSeconds = static_cast<double>(stat->userTicks + stat->systemTicks) / hz;
        if (const std::optional<std::uint64_t> boot = bootTime())
          figures.startTimeSeconds = static_cast<double>(*boot) + stat->startTicks / hz;
      }
      if (pageSize > 0)
        figures.residentBytes = stat->residentPages * static_cast<std::uint64_t>(pageSize);
      figures.virtualBytes = stat->virtualBytes;
    }
  }
  figures.openDescriptors = descriptors.count();
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
    figures.maxDescriptors = static_cast<std::uint64_t>(limit.rlim_cur);
  return figures;
}

}  // namespace velmor
