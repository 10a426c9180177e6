#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace velmor {

// The process's standard figures, as Prometheus's client libraries name them (process_*),
// read from /proc at each scrape on the thread that answers it. A figure that cannot be
// read is left out rather than shown wrong: a hardened service (ProcSubset=pid) sees its
// own /proc/self but not /proc/stat, where the boot time is.
struct ProcessFigures {
  std::optional<double> cpuSeconds;  // user and system
  std::optional<std::uint64_t> residentBytes;
  std::optional<std::uint64_t> virtualBytes;
  std::optional<std::uint64_t> openDescriptors;
  std::optional<std::uint64_t> maxDescriptors;  // the soft limit
  std::optional<double> startTimeSeconds;       // since 1970
};

ProcessFigures readProcessFigures();

// The fields of a /proc/<pid>/stat line that the figures use; nothing when it is not one.
struct ProcessStat {
  std::uint64_t userTicks = 0;
  std::uint64_t systemTicks = 0;
  std::uint64_t startTicks = 0;  // after boot
  std::uint64_t virtualBytes = 0;
  std::uint64_t residentPages = 0;
};
std::optional<ProcessStat> parseProcessStat(std::string_view line);

}  // namespace velmor
